#pragma once
// The per-user software list, config.toml: one record per product, written as
// an array of "[[software]]" tables with three quoted string keys, and read
// back by a forgiving line scanner. The text functions are pure and portable;
// the file functions read and write the bytes as the C runtime's text mode
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

// What a line of the list does, by what it contains, first match winning:
// "[[software]]" closes the pending record; "name", "product_id" or
// "distributor_id" sets that field; anything else nothing.
enum class ListLine { Header, Name, ProductId, DistributorId, Other };
ListLine RouteOf(std::string_view line);

// Scans text as the text-mode reader delivers it (lines end at LF), each
// line routed by RouteOf. A field is set from everything after the line's
// first "=", with every double quote removed and leading spaces and tabs
// dropped (a line without "=" sets nothing). Records whose product_id is
// empty are dropped.
SoftwareList ScanSoftwareList(std::string_view text);

// The written form with LF line ends (text mode stores each as CR LF): per
// record "[[software]]", then name, product_id and distributor_id as
// `key = "value"`, values copied unescaped. An empty list gives "".
std::string FormatSoftwareList(const SoftwareList& list);

// The bytes that text mode stores for `text`: each LF as CR LF.
std::string StoredForm(std::string_view text);

// What text mode reads from stored bytes: CR LF as LF (a CR alone stays),
// and nothing from the first 0x1A on.
std::string TextOfStored(std::string_view bytes);

// A list no installer should read or write: larger than this, it is not ours.
inline constexpr unsigned long long kMaxListBytes = 1024 * 1024;

// The list at `path`, read and written as registration/software_list_file.h
// says, in the folder that holds it (held while the call works). Reading gives
// an empty list for a file that cannot be read or is not plainly ours;
// writing leaves such a file, or a missing folder, alone.
SoftwareList ReadSoftwareList(const std::wstring& path);
void WriteSoftwareList(const std::wstring& path, const SoftwareList& list);
