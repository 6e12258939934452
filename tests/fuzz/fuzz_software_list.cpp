// Fuzzes the software list's line scanner and writer.
// - Whatever the input, the scanner keeps only records with a product_id,
//   and no value holds a double quote or a line feed or begins with a blank.
// - What the writer makes of a list reads back as the same list whenever every
//   record can round-trip: a non-empty product_id, no value beginning with a
//   space or tab or holding a double quote, LF, 0x1A or "[[software]]", no
//   product_id or distributor_id holding "name", no distributor_id holding
//   "product_id". The list is taken both from scanning the input and from
//   cutting the input into fields directly.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "registration/software_list.h"

namespace {

bool Contains(const std::string& value, std::string_view text) {
    return value.find(text) != std::string::npos;
}

bool ValueRoundTrips(const std::string& value) {
    return (value.empty() || (value[0] != ' ' && value[0] != '\t')) &&
           value.find_first_of(std::string("\"\n\x1a", 3)) == std::string::npos &&
           !Contains(value, "[[software]]");
}

bool RoundTrips(const SoftwareList& list) {
    for (const SoftwareEntry& entry : list) {
        if (entry.product_id.empty() || !ValueRoundTrips(entry.name) ||
            !ValueRoundTrips(entry.product_id) || !ValueRoundTrips(entry.distributor_id) ||
            Contains(entry.product_id, "name") || Contains(entry.distributor_id, "name") ||
            Contains(entry.distributor_id, "product_id"))
            return false;
    }
    return true;
}

void CheckScanned(const SoftwareList& list) {
    for (const SoftwareEntry& entry : list) {
        if (entry.product_id.empty())
            std::abort();
        for (const std::string* value : {&entry.name, &entry.product_id, &entry.distributor_id}) {
            if (value->find_first_of("\"\n") != std::string::npos)
                std::abort();
            if (!value->empty() && ((*value)[0] == ' ' || (*value)[0] == '\t'))
                std::abort();
        }
    }
}

void CheckRoundTrip(const SoftwareList& list) {
    if (RoundTrips(list) && ScanSoftwareList(FormatSoftwareList(list)) != list)
        std::abort();
}

// Cuts the input at 0x00 bytes into name, product_id, distributor_id, ...
SoftwareList ListFromFields(std::string_view input) {
    SoftwareList list;
    std::string fields[3];
    int field = 0;
    for (char byte : input) {
        if (byte != '\0') {
            fields[field].push_back(byte);
            continue;
        }
        if (++field == 3) {
            list.push_back({fields[0], fields[1], fields[2]});
            fields[0].clear(), fields[1].clear(), fields[2].clear();
            field = 0;
        }
    }
    return list;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const SoftwareList scanned = ScanSoftwareList(input);
    CheckScanned(scanned);
    CheckRoundTrip(scanned);
    CheckRoundTrip(ListFromFields(input));
    return 0;
}
