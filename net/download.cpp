#include "net/download.h"

#include <windows.h>

#include <winhttp.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "base/file_by_handle.h"
#include "base/unique_handle.h"
#include "base/widen.h"
#include "net/url.h"

namespace {

using InternetHandle = UniqueAny<HINTERNET, WinHttpCloseHandle>;

constexpr DWORD kTimeoutMs = 30000;
constexpr int kMaxRequests = 3;
constexpr std::size_t kBlockSize = 8192;
constexpr DWORD kLocationBytes = 4096;

enum class Outcome { Failed, Succeeded, Redirected };

Outcome Fail(std::string& error, const char* message) {
    error = message;
    return Outcome::Failed;
}

bool IsRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The Location header as UTF-8, or false when it is missing or longer than
// the buffer holds.
bool ReadLocation(HINTERNET request, std::string& target) {
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

// Streams the body of a 200 response into savePath. Anything short of the
// whole body written and closed is a failure, and the partial file is removed:
// the caller would otherwise run a truncated program.
//
// The file is a Win32 handle because the C++ streams cannot say who else may
// open it. It is new (CREATE_NEW, after whatever had the name is removed, so a
// planted link is dropped, never written through), and while it is written
// nobody else may write, rename or delete it: the caller runs it elevated. It
// is marked for removal from its creation until it is complete, so a process
// that ends mid-download (the window closed, or killed) leaves no file.
Outcome SaveBody(HINTERNET request, const std::string& savePath, std::string& error,
                 const ProgressCallback& progress, Sha256* hash, Sha256Digest* digest) {
    // Read as text: WinHTTP's numeric query has 32 bits, and a body of 4 GiB
    // or more would then never count as complete.
    wchar_t length[32] = {};
    DWORD size = sizeof length;
    std::uint64_t total = 0;
    const bool announced =
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                            length, &size, WINHTTP_NO_HEADER_INDEX) &&
        ParseContentLength(length, total);

    const std::wstring path = WidenBytes(savePath);
    DeleteFileW(path.c_str());
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return Fail(error, "failed to create save file");
    if (!DeleteWhenClosed(file.get(), true)) {
        file.reset();
        DeleteFileW(path.c_str());
        return Fail(error, "failed to create save file");
    }

    std::array<char, kBlockSize> block;
    std::uint64_t downloaded = 0;
    const char* problem = nullptr;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request, block.data(), static_cast<DWORD>(block.size()), &read)) {
            problem = "download incomplete";
            break;
        }
        if (read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(file.get(), block.data(), read, &written, nullptr) || written != read) {
            problem = "failed to write save file";
            break;
        }
        if (digest)
            Sha256Add(*hash, block.data(), read);
        downloaded += read;
        if (progress)
            progress(downloaded, total);
    }
    if (!problem && announced && downloaded != total)
        problem = "download incomplete";
    if (!problem && digest && !Sha256Finish(*hash, *digest))
        problem = "failed to hash save file";
    if (!problem && !DeleteWhenClosed(file.get(), false))
        problem = "failed to write save file";
    if (problem)
        return Fail(error, problem); // closing the marked file removes it
    if (!CloseHandle(file.release())) {
        DeleteFileW(path.c_str());
        return Fail(error, "failed to write save file");
    }
    return Outcome::Succeeded;
}

// One request with a session of its own. The handles are declared in opening
// order, so every way out closes request, connection, session.
Outcome Attempt(const ParsedUrl& url, const std::string& savePath, std::string& error,
                const ProgressCallback& progress, Sha256* hash, Sha256Digest* digest, TlsOffer tls,
                std::string& redirectTarget) {
    InternetHandle session(WinHttpOpen(L"VelmorInstaller/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return Fail(error, "WinHttpOpen failed");
    WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    if (tls == TlsOffer::UpToTls12) {
        // A failure means a Windows 7 without the update: its defaults apply.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                          WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                         sizeof protocols);
    }

    InternetHandle connection(
        WinHttpConnect(session.get(), url.host.c_str(), static_cast<INTERNET_PORT>(url.port), 0));
    if (!connection)
        return Fail(error, "WinHttpConnect failed");

    InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", url.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              WINHTTP_FLAG_SECURE));
    if (!request)
        return Fail(error, "WinHttpOpenRequest failed");
    // Redirects are decided by DownloadFile alone (at most two, to https
    // targets only), and every attempt uses a fresh connection; left alone,
    // the platform follows redirects itself, more than two of them, and may
    // hand a later session a pooled connection.
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof(features));

    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        return Fail(error, "WinHttpSendRequest failed");
    if (!WinHttpReceiveResponse(request.get(), nullptr))
        return Fail(error, "WinHttpReceiveResponse failed");

    DWORD status = 0;
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);

    if (IsRedirect(status) && ReadLocation(request.get(), redirectTarget))
        return Outcome::Redirected;
    if (status != 200) {
        error = "HTTP status not OK: " + std::to_string(status);
        return Outcome::Failed;
    }
    return SaveBody(request.get(), savePath, error, progress, hash, digest);
}

} // namespace

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

bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error,
                  ProgressCallback progress, Sha256Digest* bodyDigest, TlsOffer tls) {
    // Wine workaround: begun before WinHTTP is first used. Wine's WinHTTP
    // brings in crypt32, which imports bcrypt, and Wine looks for a DLL that
    // is not loaded yet beside the program too; loaded from System32 first,
    // it is simply reused.
    Sha256 hash;
    if (bodyDigest)
        Sha256Begin(hash);
    std::string current = url;
    for (int redirects = 0;;) {
        ParsedUrl parsed;
        if (!ParseHttpsUrl(current, parsed)) {
            error = "URL parse failed";
            return false;
        }
        std::string target;
        Outcome outcome =
            Attempt(parsed, savePath, error, progress, &hash, bodyDigest, tls, target);
        if (outcome != Outcome::Redirected)
            return outcome == Outcome::Succeeded;
        current = ResolveReference(current, target);
        if (++redirects >= kMaxRequests) {
            error = "Too many redirects";
            return false;
        }
    }
}
