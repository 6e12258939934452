#pragma once
// The per-user software list, config.toml: one record per product, written as
// an array of "[[software]]" tables with three quoted string keys, and read
// back by a forgiving line scanner. The text functions are pure and portable;
// the file functions read through the C runtime's text mode and write as it
// stores text: its line-end translation (LF <-> CR LF, 0x1A as end of input)
// is part of the format.

#include <string>
#include <string_view>
#include <vector>

// The strings hold the file's bytes unchanged; what the installer adds is UTF-8.
struct SoftwareEntry {
    std::string name;
    std::string product_id;
    std::string distributor_id;
};

inline bool operator==(const SoftwareEntry& a, const SoftwareEntry& b) {
    return a.name == b.name && a.product_id == b.product_id && a.distributor_id == b.distributor_id;
}
inline bool operator!=(const SoftwareEntry& a, const SoftwareEntry& b) {
    return !(a == b);
}

using SoftwareList = std::vector<SoftwareEntry>;

// Scans text as the text-mode reader delivers it (lines end at LF). A line
// containing "[[software]]" closes the pending record; otherwise one
// containing "name", "product_id" or "distributor_id" (first match wins)
// sets that field from everything after its first "=", with every double
// quote removed and leading spaces and tabs dropped. Records whose
// product_id is empty are dropped.
SoftwareList ScanSoftwareList(std::string_view text);

// The written form with LF line ends (text mode stores each as CR LF): per
// record "[[software]]", then name, product_id and distributor_id as
// `key = "value"`, values copied unescaped. An empty list gives "".
std::string FormatSoftwareList(const SoftwareList& list);

// A list no installer should read or write: larger than this, it is not ours.
inline constexpr unsigned long long kMaxListBytes = 1024 * 1024;

// The list at `path`, read and written as registration/software_list_file.h
// says, in the folder that holds it (held while the call works). Reading gives
// an empty list for a file that cannot be read or is not plainly ours;
// writing leaves such a file, or a missing folder, alone.
SoftwareList ReadSoftwareList(const std::wstring& path);
void WriteSoftwareList(const std::wstring& path, const SoftwareList& list);
