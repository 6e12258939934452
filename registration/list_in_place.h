#pragma once
// The list rewritten in place, where another program holds it open and it
// cannot be replaced: a plan of writes, each flushed before the next, such
// that whatever a kill or a power loss leaves (any prefix of the writes, and
// of the write in flight any of its 512-byte sectors, the rest of a sector
// past the old end reading as zeros) scans as records of the old list or of
// the new, every record that both share among them.
//
// The new list goes first, whole, past the end of both lists; then the old
// front is made dead (its product_id lines broken, then blanked) and the new
// list written there; then the end is set. A list is written over blank lines
// headers first, then every line but product_id, then the product_id lines,
// sector by sector from the last, so that a record counts only once every
// other line of it is there and a line's tail lands before its head. Only
// writes confined to one sector come where their order matters.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kSectorBytes = 512;

struct ListWrite {
    unsigned long long offset = 0;
    std::string bytes;    // written at offset, then flushed
    bool endHere = false; // instead: the file is made to end at offset
};

struct InPlacePlan {
    std::vector<ListWrite> writes;
    // The first `addsOnly` writes leave the old bytes as they are and only
    // add past them: where one fails, cutting the file back to the old size
    // restores it exactly.
    std::size_t addsOnly = 0;
    // Where the end cannot be set (another program maps the file), the writes
    // after the endHere one leave the new list followed by blank lines.
};

// The plan that turns the file's bytes `old` into `stored` (the new list as
// text mode stores it). No writes where they are the same, where `old` holds
// a 0x1A (text mode would hide everything after it), where it does not end
// in a line end (the file grown and its new sectors not yet on the disk, its
// last line would read with zeros after it), where a line of either holds
// more than one key ("[[software]]", "name", "product_id", "distributor_id",
// a value holding one of them, say: part of such a line may set another
// field), or where the file would grow past kMaxListBytes.
InPlacePlan PlanInPlace(std::string_view old, std::string_view stored);
