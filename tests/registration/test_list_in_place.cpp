// The list written in place, stopped anywhere: after every prefix of the
// plan's writes, with any set of the sectors of the write in flight landed
// (the rest of a sector past the file's end reading as zeros), the file
// read as text mode reads it holds only whole records of the old list or of
// the new, and every record the two share.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "registration/list_in_place.h"
#include "registration/register_product.h"
#include "registration/software_list.h"

namespace {

std::string Describe(const SoftwareEntry& e) {
    return "{" + e.name + "|" + e.product_id + "|" + e.distributor_id + "}";
}

bool Holds(const SoftwareList& list, const SoftwareEntry& entry) {
    return std::find(list.begin(), list.end(), entry) != list.end();
}

// The file after `write` with the sectors in `landed` (bit i: its i-th
// sector) on the disk.
std::string AfterWrite(const std::string& file, const ListWrite& write, unsigned long long landed) {
    if (write.endHere)
        return file.substr(0, write.offset);
    const std::size_t end = write.offset + write.bytes.size();
    std::string after = file;
    after.resize(std::max(file.size(), end), '\0');
    for (std::size_t i = write.offset; i < end; ++i) {
        if (landed >> (i / kSectorBytes - write.offset / kSectorBytes) & 1)
            after[i] = write.bytes[i - write.offset];
    }
    return after;
}

// Every set of the write's sectors.
std::vector<unsigned long long> LandedSets(const ListWrite& write) {
    const std::size_t sectors = write.endHere
                                    ? 1
                                    : (write.offset + write.bytes.size() - 1) / kSectorBytes -
                                          write.offset / kSectorBytes + 1;
    std::vector<unsigned long long> sets;
    for (unsigned long long set = 0; set < 1ull << sectors; ++set)
        sets.push_back(set);
    return sets;
}

struct Row {
    const char* what;
    std::string old;
};

std::string Records(int count, const std::string& lineEnd) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "[[software]]" + lineEnd + "name = \"tool " + std::to_string(i) + "\"" + lineEnd +
                "product_id = \"" + std::to_string(30 + i) + "\"" + lineEnd +
                "distributor_id = \"d" + std::to_string(i) + "\"" + lineEnd;
    return text;
}

TEST(ListInPlace, EveryCrashStateReadsAsWholeRecords) {
    const std::string ours7 =
        "[[software]]\r\nname = \"ours\"\r\nproduct_id = \"2\"\r\ndistributor_id = \"7\"\r\n";
    const Row rows[] = {
        {"foreign formatting and comments, LF, longer than the new",
         "# my tools\n\n[[software]]\n  name   =   \"a\"   \n# product_id was 4\nproduct_id=\"5\"\n"
         "[other]\nkey = 1\n\n[[software]]\ndistributor_id = \"x\"\nname = \"b\"\nproduct_id = "
         "\"6\"\n\n\n# the end of the list, a long comment that the new list does not keep\n"},
        {"shorter than the new", "product_id=5\n[[software]]\nproduct_id=6\n"},
        {"written form, CR LF: only the rest added", Records(8, "\r\n")},
        {"ours in the middle, over many sectors, LF", Records(9, "\n") + ours7 + Records(12, "\n")},
        {"ours first, a name longer than a sector",
         ours7 + "[[software]]\nname = \"" + std::string(700, 'n') + "\"\nproduct_id = \"8\"\n" +
             Records(4, "\n")},
        {"a record with two product_id lines, CR LF",
         "[[software]]\r\nproduct_id = \"1\"\r\nname = \"" + std::string(500, 'm') +
             "\"\r\nproduct_id = \"3\"\r\n" + Records(5, "\r\n")},
        {"empty file", ""},
    };
    for (const Row& row : rows) {
        const SoftwareList before = ScanSoftwareList(TextOfStored(row.old));
        const SoftwareList after = WithProductRegistered(before);
        const std::string stored = StoredForm(FormatSoftwareList(after));
        const InPlacePlan plan = PlanInPlace(row.old, stored);
        ASSERT_FALSE(plan.writes.empty()) << row.what;
        std::size_t states = 0;
        std::string file = row.old;
        bool ended = false;
        for (std::size_t w = 0; w < plan.writes.size(); ++w) {
            const ListWrite& write = plan.writes[w];
            for (unsigned long long landed : LandedSets(write)) {
                const std::string state = AfterWrite(file, write, landed);
                const SoftwareList read = ScanSoftwareList(TextOfStored(state));
                ++states;
                for (const SoftwareEntry& entry : read)
                    ASSERT_TRUE(Holds(before, entry) || Holds(after, entry))
                        << row.what << ": write " << w << ", sectors " << landed << ": "
                        << Describe(entry) << " is no record of either list";
                for (std::size_t i = 0; i < before.size(); ++i)
                    ASSERT_TRUE(before[i] != after[i] || Holds(read, before[i]))
                        << row.what << ": write " << w << ", sectors " << landed << ": "
                        << Describe(before[i]) << " is lost";
            }
            if (write.endHere) {
                EXPECT_EQ(AfterWrite(file, write, 1), stored) << row.what << ": finished";
                ended = true;
                continue; // on as where the end cannot be set
            }
            file = AfterWrite(file, write, ~0ull);
        }
        if (!ended)
            EXPECT_EQ(file, stored) << row.what << ": finished, only the rest added";
        else
            EXPECT_EQ(file, stored + std::string(file.size() - stored.size(), '\n'))
                << row.what << ": finished where the end cannot be set";
        EXPECT_GT(states, plan.writes.size()) << row.what;
    }

    // Nothing to write, or nothing that may be written in place.
    const std::string written = StoredForm(FormatSoftwareList({{kProductName, "2", "1"}}));
    for (const std::string& old :
         {written, std::string("product_id = \"5\"\r\n\x1A junk"),
          Records(3, "\r\n") + "product_id = \"9\"",
          Records(6, "\n") + "[[software]]\nname = \"x product_id y\"\nproduct_id = \"5\"\n",
          Records(2, "\n") + "[[software]]\nproduct_id = \"a=product_id\"\n"})
        EXPECT_TRUE(PlanInPlace(old, written).writes.empty()) << old;
}

} // namespace
