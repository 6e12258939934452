// Fuzzes the URL parser against a hand-written matcher of the same grammar:
// "https://" host (no "/" or ":"), optionally ":" digits with a port from 1 to
// 65535, optionally a path from "/" on without CR or LF; at most 4096 bytes.
// Any difference, any escaped exception or any sanitizer report is a finding.
// The same input also goes through the redirect resolver, as a Location and
// as the URL it is resolved against: a target that parses never carries a
// fragment, and nothing may crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/url.h"

namespace {

struct Expected {
    bool ok = false;
    std::string host;
    int port = 443;
    std::string path = "/";
};

Expected Reference(const std::string& url) {
    Expected expected;
    const std::string scheme = "https://";
    if (url.size() > 4096 || url.compare(0, scheme.size(), scheme) != 0)
        return expected;
    std::size_t at = scheme.size();
    const std::size_t hostEnd = url.find_first_of("/:", at);
    expected.host = url.substr(at, hostEnd == std::string::npos ? std::string::npos : hostEnd - at);
    if (expected.host.empty())
        return expected;
    at = hostEnd;
    if (at != std::string::npos && url[at] == ':') {
        const std::size_t digitsEnd = url.find_first_not_of("0123456789", at + 1);
        const std::string digits = url.substr(
            at + 1, digitsEnd == std::string::npos ? std::string::npos : digitsEnd - at - 1);
        if (digits.empty())
            return expected;
        const std::size_t significant = digits.find_first_not_of('0');
        if (significant == std::string::npos || digits.size() - significant > 5)
            return expected;
        expected.port = std::atoi(digits.c_str() + significant);
        if (expected.port > 65535)
            return expected;
        at = digitsEnd;
    }
    if (at != std::string::npos) {
        if (url[at] != '/' || url.find_first_of("\r\n", at) != std::string::npos)
            return expected;
        expected.path = url.substr(at);
    }
    expected.ok = true;
    return expected;
}

std::string Narrow(const std::wstring& wide) {
    std::string bytes;
    for (wchar_t unit : wide)
        bytes.push_back(static_cast<char>(unit));
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    ParsedUrl parsed;
    const bool ok = ParseHttpsUrl(url, parsed);
    const Expected expected = Reference(url);
    if (ok != expected.ok)
        std::abort();
    if (ok && (Narrow(parsed.host) != expected.host || parsed.port != expected.port ||
               Narrow(parsed.path) != expected.path))
        std::abort();
    const std::string target = ResolveReference("https://h:8443/a/b?q", url);
    ParsedUrl redirected;
    if (ParseHttpsUrl(target, redirected) && target.find('#') != std::string::npos)
        std::abort();
    ResolveReference(url, "../x?y#z");
    return 0;
}
