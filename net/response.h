#pragma once
// What a WinHTTP response says: its status, its headers, and whether it came
// over the TLS session with the host.

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <string>

// The status code; 0 when it cannot be read.
DWORD StatusOf(HINTERNET request);

bool IsRedirect(DWORD status);

// The Location header as UTF-8; false when it is missing or longer than
// 4096 bytes as UTF-16.
bool LocationOf(HINTERNET request, std::string& target);

// A response header as text, however long; empty when it is missing or
// cannot be read. `present`, when given, says whether the response has it.
std::wstring HeaderText(HINTERNET request, DWORD query, bool* present = nullptr);

// Whether the answer came over the TLS session with the host: the request
// then holds the host's certificate.
bool HostCertificatePresent(HINTERNET request);

// What a 200 says of its body. Its length is read as text: WinHTTP's numeric
// query has 32 bits, and a body of 4 GiB or more would never count as whole.
struct BodyFacts {
    std::uint64_t total = 0; // the announced length; 0 when none
    bool announced = false;
    // What If-Range may carry so that a 206 can only be the rest of the same
    // body: a strong ETag; else, only when there is no ETag at all, a
    // Last-Modified at least 60 s older than the response's Date (a strong
    // date, as HTTP counts it). Empty when the body has no such validator.
    std::wstring validator;
    bool resumable = false; // a length, a validator and Accept-Ranges: bytes
};
BodyFacts BodyFactsOf(HINTERNET request);

// Whether a 206 response's Content-Range ("bytes FIRST-LAST/TOTAL", TOTAL
// "*" where the host does not know it) is the rest of the body asked for:
// from `written` to the end of `total` bytes.
bool RangeContinues(const std::wstring& contentRange, std::uint64_t written, std::uint64_t total);

// A Content-Length header's value as a 64-bit number: one or more ASCII
// digits and nothing else, at most 2^64 - 1. False for anything else, which
// then counts as no announced length.
bool ParseContentLength(const std::wstring& text, std::uint64_t& length);
