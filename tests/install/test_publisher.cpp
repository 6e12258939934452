// Which digests a build's publisher list names: the pin itself, without a
// signature or a file.

#include <gtest/gtest.h>

#include "install/publisher.h"

namespace {

Sha256Digest Counting() {
    Sha256Digest digest{};
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<unsigned char>(i * 7 + 1);
    return digest;
}

TEST(PublisherKeyPinned, NamesOnlyWholeDigestsInAnyCase) {
    // Counting()'s hex form.
    const std::string hex = "01080f161d242b323940474e555c636a71787f868d949ba2a9b0b7bec5ccd3da";
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string other = hex;
    other[63] = 'b';
    const struct {
        std::string list;
        bool pinned;
    } cases[] = {
        {hex, true},
        {upper, true},
        {other + "," + hex, true},
        {other + ";" + hex, true},
        {other + " " + hex, true},
        {other, false},
        {"", false},
        {hex.substr(0, 62), false},          // too short
        {hex + "00", false},                 // too long
        {hex.substr(0, 63) + "g", false},    // not hex
        {"," + hex.substr(1) + "0,", false}, // shifted by one
    };
    for (const auto& c : cases)
        EXPECT_EQ(PublisherKeyPinned(c.list.c_str(), Counting()), c.pinned) << c.list;
    EXPECT_FALSE(PublisherKeyPinned(nullptr, Counting()));
}

} // namespace
