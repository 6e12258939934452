#pragma once
// The per-user software list, config.toml: one record per product, written as
// an array of "[[software]]" tables with three quoted string keys, and read
// back by a forgiving line scanner. The text functions are pure and portable;
// the file functions use the C runtime's text mode, whose line-end
// translation (LF <-> CR LF, 0x1A as end of input) is part of the format.

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

// True when the name exists but is not a plain list of ours: a symbolic link,
// junction or other reparse point, a folder, a file with more than one name
// (a hard link), one larger than kMaxListBytes, or one that cannot be looked
// at. Writing through such a name would change a file somewhere else.
bool IsListFileUntouchable(const std::wstring& path);

// Reads the file in text mode; a file that cannot be opened gives an empty list.
SoftwareList ReadSoftwareList(const std::wstring& path);

// Replaces the file's content with the written form of the list. The new
// content goes to "<path>.tmp" beside it, which replaces the file only once it
// is completely written; on any failure the file keeps its old content and the
// temporary file is removed. A read-only, hidden or system list is left as it
// is; one that another program holds open is written in place. A list that has become
// untouchable (see above) is not replaced. Reports nothing.
void WriteSoftwareList(const std::wstring& path, const SoftwareList& list);
