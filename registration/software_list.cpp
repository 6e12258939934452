#include "registration/software_list.h"

namespace {

constexpr std::string_view kHeader = "[[software]]";

// Everything after the line's first "=", without double quotes and without
// the leading spaces and tabs. A line without "=" leaves the field alone.
void SetField(std::string& field, std::string_view line) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return;
    std::string value;
    for (char c : line.substr(equals + 1))
        if (c != '"')
            value += c;
    const std::size_t start = value.find_first_not_of(" \t");
    field = start == std::string::npos ? std::string() : value.substr(start);
}

void ScanLine(std::string_view line, SoftwareEntry& pending, SoftwareList& list) {
    if (line.find(kHeader) != std::string_view::npos) {
        if (!pending.product_id.empty())
            list.push_back(pending);
        pending = SoftwareEntry{};
    } else if (line.find("name") != std::string_view::npos) {
        SetField(pending.name, line);
    } else if (line.find("product_id") != std::string_view::npos) {
        SetField(pending.product_id, line);
    } else if (line.find("distributor_id") != std::string_view::npos) {
        SetField(pending.distributor_id, line);
    }
}

} // namespace

SoftwareList ScanSoftwareList(std::string_view text) {
    SoftwareList list;
    SoftwareEntry pending;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        ScanLine(text.substr(0, end), pending, list);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    if (!pending.product_id.empty())
        list.push_back(pending);
    return list;
}

std::string FormatSoftwareList(const SoftwareList& list) {
    std::string text;
    for (const SoftwareEntry& entry : list) {
        text += kHeader;
        text += "\nname = \"" + entry.name + "\"\n";
        text += "product_id = \"" + entry.product_id + "\"\n";
        text += "distributor_id = \"" + entry.distributor_id + "\"\n";
    }
    return text;
}
