#include "registration/list_in_place.h"

#include <algorithm>
#include <iterator>

#include "registration/software_list.h"

namespace {

// The texts that route a line (RouteOf), the header's first.
constexpr std::string_view kKeys[] = {"[[software]]", "name", "product_id", "distributor_id"};

enum class Order { AllAtOnce, SectorsUpward, SectorsDownward };

// Plans the writes that make the file's believed content `image` into
// `target`: one write across every change, or one per sector in the given
// order.
void Emit(InPlacePlan& plan, std::string& image, const std::string& target, Order order) {
    const auto differs = [&](std::size_t i) { return i >= image.size() || image[i] != target[i]; };
    std::vector<std::pair<std::size_t, std::size_t>> ranges; // [first, last] changed
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (!differs(i))
            continue;
        const bool sameRange =
            !ranges.empty() &&
            (order == Order::AllAtOnce || ranges.back().first / kSectorBytes == i / kSectorBytes);
        if (sameRange)
            ranges.back().second = i;
        else
            ranges.push_back({i, i});
    }
    if (order == Order::SectorsDownward)
        std::reverse(ranges.begin(), ranges.end());
    for (const auto& [first, last] : ranges)
        plan.writes.push_back({first, target.substr(first, last - first + 1), false});
    image = target;
}

// Lines of `text` as [begin, end) with their LF.
std::vector<std::pair<std::size_t, std::size_t>> LinesOf(std::string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> lines;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t lf = text.find('\n', begin);
        const std::size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
        lines.push_back({begin, end});
        begin = end;
    }
    return lines;
}

// Writes `stored` at `at` over blank lines, from its byte `from` on: the
// header lines, then every other line but product_id, then those.
void WriteListOverBlank(InPlacePlan& plan, std::string& image, std::string_view stored,
                        std::size_t at, std::size_t from) {
    const auto lines = LinesOf(stored);
    for (const ListLine pass : {ListLine::Header, ListLine::Other, ListLine::ProductId}) {
        std::string target = image;
        for (const auto& [begin, end] : lines) {
            ListLine route = RouteOf(stored.substr(begin, end - begin));
            if (route != ListLine::Header && route != ListLine::ProductId)
                route = ListLine::Other;
            if (route != pass)
                continue;
            for (std::size_t i = std::max(begin, from); i < end; ++i)
                target[at + i] = stored[i];
        }
        Emit(plan, image, target,
             pass == ListLine::ProductId ? Order::SectorsDownward : Order::AllAtOnce);
    }
}

// Every occurrence of `key` in [begin, end) of `target` broken, by '#' in
// place of its first byte ('#' is in no key, so no new one can form).
void BreakKey(std::string& target, std::size_t begin, std::size_t end, std::string_view key) {
    for (std::size_t at = target.find(key, begin);
         at != std::string::npos && at + key.size() <= end; at = target.find(key, at + 1))
        target[at] = '#';
}

// Makes the region [begin, end) dead, then blank: first its product_id
// lines lose their keys, sector by sector from the first (of two such lines
// in a record the later counts, so it goes last); then every other key in it
// (lines of dead records now), so that no line of it can join a record
// before it once its headers go; then every byte becomes a line end.
void Blank(InPlacePlan& plan, std::string& image, std::size_t begin, std::size_t end) {
    std::string target = image;
    const std::string_view region = std::string_view(image).substr(begin, end - begin);
    for (const auto& [first, last] : LinesOf(region)) {
        if (RouteOf(region.substr(first, last - first)) != ListLine::ProductId)
            continue;
        BreakKey(target, begin + first, begin + last, "product_id");
        BreakKey(target, begin + first, begin + last, "distributor_id");
    }
    Emit(plan, image, target, Order::SectorsUpward);
    for (std::size_t key = 1; key < std::size(kKeys); ++key) // all but the header
        BreakKey(target, begin, end, kKeys[key]);
    Emit(plan, image, target, Order::AllAtOnce);
    std::fill(target.begin() + static_cast<std::ptrdiff_t>(begin),
              target.begin() + static_cast<std::ptrdiff_t>(end), '\n');
    Emit(plan, image, target, Order::AllAtOnce);
}

// Whether some line holds more than one key: cut, or with one key broken,
// such a line could set another field than it does whole.
bool KeysShareALine(std::string_view text) {
    for (const auto& [begin, end] : LinesOf(text)) {
        const std::string_view line = text.substr(begin, end - begin);
        int keys = 0;
        for (const std::string_view key : kKeys)
            for (std::size_t at = line.find(key); at != std::string_view::npos;
                 at = line.find(key, at + 1))
                ++keys;
        if (keys > 1)
            return true;
    }
    return false;
}

} // namespace

InPlacePlan PlanInPlace(std::string_view old, std::string_view stored) {
    InPlacePlan plan;
    const std::size_t n = old.size(), m = stored.size();
    const bool append = stored.substr(0, n) == old;
    const std::size_t copyAt = std::max(n, m) + 1;
    if (old == stored || old.find('\x1A') != std::string_view::npos ||
        (!old.empty() && old.back() != '\n') || (append ? m : copyAt + m) > kMaxListBytes ||
        KeysShareALine(old) || KeysShareALine(stored))
        return plan;
    std::string image(old);

    if (append) { // only the rest to add
        Emit(plan, image, image + std::string(m - image.size(), '\n'), Order::AllAtOnce);
        WriteListOverBlank(plan, image, stored, 0, n);
        plan.addsOnly = plan.writes.size();
        return plan;
    }
    Emit(plan, image, image + std::string(copyAt + m - image.size(), '\n'), Order::AllAtOnce);
    WriteListOverBlank(plan, image, stored, copyAt, 0);
    plan.addsOnly = plan.writes.size();
    Blank(plan, image, 0, n);
    WriteListOverBlank(plan, image, stored, 0, 0);
    plan.writes.push_back({m, std::string(), true});
    Blank(plan, image, copyAt, copyAt + m);
    return plan;
}
