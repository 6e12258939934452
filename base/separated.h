#pragma once
// Lists in one string, their entries separated by any of a few characters.

#include <string>
#include <vector>

// The non-empty entries of `list`, in order, split at every character of
// `separators`.
template <typename Char>
std::vector<std::basic_string<Char>> SeparatedEntries(const std::basic_string<Char>& list,
                                                      const Char* separators) {
    std::vector<std::basic_string<Char>> entries;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = list.find_first_of(separators, start);
        const std::size_t stop = end == std::basic_string<Char>::npos ? list.size() : end;
        if (stop > start)
            entries.push_back(list.substr(start, stop - start));
        start = stop + 1;
    }
    return entries;
}
