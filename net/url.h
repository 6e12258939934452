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
