#include "net/url.h"

#include <cstddef>
#include <regex>

namespace {

// One byte becomes one code unit of the same signed value; no decoding, the
// URLs this program meets are ASCII.
std::wstring Widen(const std::string& bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    for (char byte : bytes)
        wide.push_back(static_cast<wchar_t>(static_cast<signed char>(byte)));
    return wide;
}

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
    parsed.host = Widen(match[1].str());
    parsed.port = port;
    parsed.path = match[4].matched ? Widen(match[4].str()) : std::wstring(L"/");
    return true;
}
