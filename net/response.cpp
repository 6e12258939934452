#include "net/response.h"

#include <wincrypt.h>

#include <array>
#include <utility>

#include "base/same_text.h"
#include "base/unique_handle.h"

namespace {

using UniqueCertificate = UniqueAny<PCCERT_CONTEXT, CertFreeCertificateContext>;

constexpr DWORD kLocationBytes = 4096;

// A header's date as a count of 100 ns; false when missing or unreadable.
bool HeaderDate(HINTERNET request, DWORD query, ULONGLONG& when) {
    SYSTEMTIME time{};
    DWORD size = sizeof time;
    FILETIME file{};
    if (!WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                             WINHTTP_HEADER_NAME_BY_INDEX, &time, &size, WINHTTP_NO_HEADER_INDEX) ||
        !SystemTimeToFileTime(&time, &file))
        return false;
    when = (ULONGLONG{file.dwHighDateTime} << 32) | file.dwLowDateTime;
    return true;
}

std::wstring StrongValidator(HINTERNET request) {
    bool tagged = false;
    const std::wstring etag = HeaderText(request, WINHTTP_QUERY_ETAG, &tagged);
    if (tagged)
        return etag.compare(0, 2, L"W/") != 0 ? etag : std::wstring();
    constexpr ULONGLONG kMinute = 60ULL * 10000000ULL;
    ULONGLONG modified = 0, date = 0;
    if (!HeaderDate(request, WINHTTP_QUERY_LAST_MODIFIED, modified) ||
        !HeaderDate(request, WINHTTP_QUERY_DATE, date) || date < modified + kMinute)
        return std::wstring();
    return HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED);
}

} // namespace

DWORD StatusOf(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool LocationOf(HINTERNET request, std::string& target) {
    std::array<wchar_t, kLocationBytes / sizeof(wchar_t)> location{};
    DWORD length = kLocationBytes;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                             location.data(), &length, WINHTTP_NO_HEADER_INDEX))
        return false;
    int size = WideCharToMultiByte(CP_UTF8, 0, location.data(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        target.clear();
        return true;
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, location.data(), -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(size) - 1);
    target = std::move(utf8);
    return true;
}

std::wstring HeaderText(HINTERNET request, DWORD query, bool* present) {
    DWORD size = 0;
    const bool sized =
        !WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                             &size, WINHTTP_NO_HEADER_INDEX) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (present)
        *present = sized || GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!sized || !WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(),
                                       &size, WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    text.resize(size / sizeof(wchar_t));
    return text;
}

bool HostCertificatePresent(HINTERNET request) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    const bool queried = WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT,
                                            &certificate, &size) != FALSE;
    const UniqueCertificate owned(certificate);
    return queried && owned;
}

BodyFacts BodyFactsOf(HINTERNET request) {
    BodyFacts body;
    body.announced =
        ParseContentLength(HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH), body.total);
    body.validator = StrongValidator(request);
    body.resumable = body.announced && !body.validator.empty() &&
                     SameIgnoringCase(HeaderText(request, WINHTTP_QUERY_ACCEPT_RANGES), L"bytes");
    return body;
}

bool RangeContinues(const std::wstring& contentRange, std::uint64_t written, std::uint64_t total) {
    // "bytes FIRST-LAST/TOTAL", each a decimal number; TOTAL may be "*"
    // (not known), as FIRST and LAST say all that is needed.
    const std::wstring unit = L"bytes ";
    const std::size_t dash = contentRange.find(L'-');
    const std::size_t slash = contentRange.find(L'/');
    if (!SameIgnoringCase(contentRange.substr(0, unit.size()), unit) ||
        dash == std::wstring::npos || slash == std::wstring::npos || dash > slash)
        return false;
    std::uint64_t first = 0, last = 0, length = 0;
    return ParseContentLength(contentRange.substr(unit.size(), dash - unit.size()), first) &&
           ParseContentLength(contentRange.substr(dash + 1, slash - dash - 1), last) &&
           (contentRange.compare(slash + 1, std::wstring::npos, L"*") == 0 ||
            (ParseContentLength(contentRange.substr(slash + 1), length) && length == total)) &&
           first == written && last + 1 == total && first < total;
}

bool ParseContentLength(const std::wstring& text, std::uint64_t& length) {
    if (text.empty())
        return false;
    std::uint64_t value = 0;
    for (wchar_t unit : text) {
        if (unit < L'0' || unit > L'9')
            return false;
        const unsigned digit = static_cast<unsigned>(unit - L'0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    length = value;
    return true;
}
