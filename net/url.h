#pragma once
// Splitting an "https://" URL into what a connection needs. Standard C++ only,
// so the parser also builds and runs natively (fuzzing, host-side tools).

#include <string>

struct ParsedUrl {
    std::wstring host;
    int port = 443;
    std::wstring path;
};

// True when the whole URL is "https://host[:port][/path]", at most 4096 bytes,
// with a port from 1 to 65535; host and path are widened one byte to one code
// unit. Never throws: any URL that does not fit gives false.
bool ParseHttpsUrl(const std::string& url, ParsedUrl& parsed);

// Where a redirect's Location leads: `reference` resolved against `base` as
// RFC 3986 section 5.2 says ("/abs", "rel", "../up", "//host/path" or an
// absolute URL), without its fragment, which is never sent. An empty
// reference gives "", which does not parse. Whether the result may be
// fetched is ParseHttpsUrl's to say ("http://" does not parse).
std::string ResolveReference(const std::string& base, const std::string& reference);
