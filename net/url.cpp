#include "net/url.h"

#include <algorithm>
#include <cstddef>
#include <regex>

#include "base/widen.h"

namespace {

// Decimal digits (leading zeros allowed) as a TCP port, or 0 when the number
// is 0 or does not fit 16 bits. Stops as soon as the value is too large, so no
// run of digits can overflow or throw.
int PortFromDigits(const std::string& digits) {
    long value = 0;
    for (char digit : digits) {
        value = value * 10 + (digit - '0');
        if (value > 65535)
            return 0;
    }
    return static_cast<int>(value);
}

// The standard library's matcher recurses once per byte, so a long enough
// URL would overflow a thread's stack. The package URLs are far shorter; a
// redirect target of up to 2047 UTF-16 units can take up to 6141 bytes as
// UTF-8, and a longer one is refused here as a URL that does not parse.
constexpr std::size_t kMaxUrlBytes = 4096;

} // namespace

bool ParseHttpsUrl(const std::string& url, ParsedUrl& parsed) {
    if (url.size() > kMaxUrlBytes)
        return false;
    const std::regex pattern("https://([^/:]+)(:(\\d+))?(/.*)?", std::regex::ECMAScript);
    std::smatch match;
    if (!std::regex_match(url, match, pattern))
        return false;
    int port = 443;
    if (match[3].matched) {
        port = PortFromDigits(match[3].str());
        if (port == 0)
            return false;
    }
    parsed.host = WidenBytes(match[1].str());
    parsed.port = port;
    parsed.path = match[4].matched ? WidenBytes(match[4].str()) : std::wstring(L"/");
    return true;
}

namespace {

// A URI reference split as RFC 3986 appendix B does; an absent part is not
// the same as an empty one.
struct Reference {
    bool hasScheme = false, hasAuthority = false, hasQuery = false;
    std::string scheme, authority, path, query;
};

Reference Split(const std::string& text) {
    Reference parts;
    std::size_t at = 0;
    const std::size_t colon = text.find_first_of(":/?#");
    if (colon != std::string::npos && colon > 0 && text[colon] == ':') {
        parts.hasScheme = true;
        parts.scheme = text.substr(0, colon);
        at = colon + 1;
    }
    if (text.compare(at, 2, "//") == 0) {
        const std::size_t end = text.find_first_of("/?#", at + 2);
        parts.hasAuthority = true;
        parts.authority = text.substr(at + 2, end == std::string::npos ? end : end - at - 2);
        at = end == std::string::npos ? text.size() : end;
    }
    const std::size_t pathEnd = std::min(text.find_first_of("?#", at), text.size());
    parts.path = text.substr(at, pathEnd - at);
    at = pathEnd;
    if (at < text.size() && text[at] == '?') {
        const std::size_t end = std::min(text.find('#', at), text.size());
        parts.hasQuery = true;
        parts.query = text.substr(at + 1, end - at - 1);
    }
    return parts;
}

// RFC 3986 section 5.2.4: "." and ".." segments resolved, never above the root.
std::string RemoveDotSegments(std::string input) {
    std::string output;
    while (!input.empty()) {
        if (input.compare(0, 3, "../") == 0) {
            input.erase(0, 3);
        } else if (input.compare(0, 2, "./") == 0) {
            input.erase(0, 2);
        } else if (input.compare(0, 3, "/./") == 0) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.compare(0, 4, "/../") == 0 || input == "/..") {
            input = input.size() == 3 ? std::string("/") : input.substr(3);
            const std::size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            const std::size_t end = input.find('/', 1);
            output += input.substr(0, end);
            input.erase(0, end == std::string::npos ? input.size() : end);
        }
    }
    return output;
}

} // namespace

std::string ResolveReference(const std::string& base, const std::string& reference) {
    if (reference.empty())
        return std::string();
    const Reference r = Split(reference);
    const Reference b = Split(base);
    Reference t;
    if (r.hasScheme) {
        t = r;
        t.path = RemoveDotSegments(r.path);
    } else {
        t.hasScheme = b.hasScheme;
        t.scheme = b.scheme;
        if (r.hasAuthority) {
            t.hasAuthority = true;
            t.authority = r.authority;
            t.path = RemoveDotSegments(r.path);
            t.hasQuery = r.hasQuery;
            t.query = r.query;
        } else {
            t.hasAuthority = b.hasAuthority;
            t.authority = b.authority;
            if (r.path.empty()) {
                t.path = b.path;
                t.hasQuery = r.hasQuery || b.hasQuery;
                t.query = r.hasQuery ? r.query : b.query;
            } else {
                if (r.path[0] == '/') {
                    t.path = RemoveDotSegments(r.path);
                } else if (b.hasAuthority && b.path.empty()) {
                    t.path = RemoveDotSegments("/" + r.path);
                } else {
                    const std::size_t slash = b.path.rfind('/');
                    const std::string directory =
                        slash == std::string::npos ? std::string() : b.path.substr(0, slash + 1);
                    t.path = RemoveDotSegments(directory + r.path);
                }
                t.hasQuery = r.hasQuery;
                t.query = r.query;
            }
        }
    }
    std::string resolved;
    if (t.hasScheme)
        resolved += t.scheme + ":";
    if (t.hasAuthority)
        resolved += "//" + t.authority;
    resolved += t.path;
    if (t.hasQuery)
        resolved += "?" + t.query;
    return resolved;
}
