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
    switch (RouteOf(line)) {
    case ListLine::Header:
        if (!pending.product_id.empty())
            list.push_back(pending);
        pending = SoftwareEntry{};
        break;
    case ListLine::Name:
        SetField(pending.name, line);
        break;
    case ListLine::ProductId:
        SetField(pending.product_id, line);
        break;
    case ListLine::DistributorId:
        SetField(pending.distributor_id, line);
        break;
    case ListLine::Other:
        break;
    }
}

} // namespace

ListLine RouteOf(std::string_view line) {
    const auto has = [line](std::string_view text) {
        return line.find(text) != std::string_view::npos;
    };
    if (has(kHeader))
        return ListLine::Header;
    if (has("name"))
        return ListLine::Name;
    if (has("product_id"))
        return ListLine::ProductId;
    if (has("distributor_id"))
        return ListLine::DistributorId;
    return ListLine::Other;
}

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

std::string StoredForm(std::string_view text) {
    std::string stored;
    stored.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            stored += '\r';
        stored += c;
    }
    return stored;
}

std::string TextOfStored(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find('\x1A'));
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    }
    return text;
}
