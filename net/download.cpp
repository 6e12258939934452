#include "net/download.h"

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/file_by_handle.h"
#include "base/held_folder.h"
#include "base/unique_handle.h"
#include "base/widen.h"
#include "net/proxy.h"
#include "net/url.h"

namespace {

using InternetHandle = UniqueAny<HINTERNET, WinHttpCloseHandle>;
using UniqueCertificate = UniqueAny<PCCERT_CONTEXT, CertFreeCertificateContext>;

constexpr DWORD kTimeoutMs = 30000;
constexpr int kMaxRequests = 3;
constexpr std::size_t kBlockSize = 8192;
constexpr DWORD kLocationBytes = 4096;
// Rounds of one request that the platform may ask to send again.
constexpr int kMaxResends = 3;
// After a connection dropped mid-body: at most this many further attempts,
// the first after one second, each wait twice the one before.
constexpr int kMaxResumptions = 5;
constexpr DWORD kFirstResumeWaitMs = 1000;

enum class Outcome {
    Succeeded,
    Redirected,
    Failed,      // the attempt failed before any body byte arrived in it
    Interrupted, // body bytes arrived, then the attempt broke off
    Final,       // never tried again: writing or hashing the file failed, or
                 // the host refused the rest for good (a 4xx)
    Unreachable, // before anything answered along the road, its proxy (or, on the
                 // default road, the host) could not be reached, or the proxy
                 // refused the tunnel: worth another road
};

// How the requests of one download leave the machine: through the proxy the
// user's settings name (empty: WinHTTP's default road, the machine-wide
// setting or else direct), with what TLS offer. Once an answer came back
// along it, the road is kept for the redirects and resumptions that follow.
struct Road {
    std::wstring proxy;
    std::vector<std::wstring> further; // the proxies of the list still to try, in order
    bool defaultRoadLast = true;       // after them, the default road
    ProxySource source = ProxySource::None;
    TlsOffer tls = TlsOffer::PlatformDefault;
    bool kept = false;
};

constexpr char kProxyLogonFailed[] = "proxy authentication failed";

Outcome Fail(std::string& error, const char* message, Outcome outcome = Outcome::Failed) {
    error = message;
    return outcome;
}

// The URL as the proxy lookup takes it.
std::wstring UrlText(const ParsedUrl& url) {
    return L"https://" + url.host + (url.port == 443 ? L"" : L":" + std::to_wstring(url.port)) +
           url.path;
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

// A response header as text; empty when it is missing. `present`, when
// given, tells a missing header from one too long for the buffer.
std::wstring HeaderText(HINTERNET request, DWORD query, bool* present = nullptr) {
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    const bool read = WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                          WINHTTP_NO_HEADER_INDEX);
    if (present)
        *present = read || GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND;
    return read ? std::wstring(text) : std::wstring();
}

bool SameText(const std::wstring& a, const wchar_t* b) {
    return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

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

// What If-Range may carry so that a 206 can only be the rest of the same
// body: a strong ETag; else, only when there is no ETag at all, a
// Last-Modified at least 60 s older than the response's Date (a strong date,
// as HTTP counts it). Empty when the body has no such validator.
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

// The save file and what is known of the body, from the first 200 response
// to the end of the call, across every attempt. Its folder is held all the
// while, so that its name always leads into that folder.
struct SaveFile {
    const HeldFolder* folder = nullptr; // the caller's, or `own`
    HeldFolder own;
    std::wstring name;
    UniqueFileHandle file;
    FileId id;
    std::uint64_t written = 0;
    std::uint64_t total = 0; // the announced length; 0 when none
    bool announced = false;
    std::wstring validator; // for If-Range (StrongValidator); empty when there is none
    bool resumable = false; // the host takes "Range: bytes=N-" for this body

    SaveFile() = default;
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;
    // Still open, the file is incomplete and marked for removal: its name is
    // freed now, so that a scanner still reading it does not keep the next
    // download from taking the name.
    ~SaveFile() {
        if (file)
            RemoveThrough(file.get());
    }
};

// Takes what a 200 response says of its body: its length (read as text:
// WinHTTP's numeric query has 32 bits, and a body of 4 GiB or more would then
// never count as complete) and whether the rest could be asked for later.
void TakeBodyHeaders(HINTERNET request, SaveFile& save) {
    save.total = 0;
    save.announced =
        ParseContentLength(HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH), save.total);
    save.validator = StrongValidator(request);
    save.resumable = save.announced && !save.validator.empty() &&
                     SameText(HeaderText(request, WINHTTP_QUERY_ACCEPT_RANGES), L"bytes");
}

// Creates the save file for the first 200 response, in its folder, held
// from now on. It is new: whatever had the name is removed first (even a
// file a scanner still reads), and CREATE_NEW of the name itself, never
// what a link planted in between leads to, then either makes a plain file
// in that folder or fails (OpenInFolder). While it is open nobody else may
// write, rename or delete it: the caller runs it elevated. It is a Win32
// handle because the C++ streams cannot say who else may open it. It is
// marked for removal until it is complete, so a process that ends
// mid-download (the window closed, or killed) or a failed download leaves no
// file.
bool CreateSaveFile(const std::string& savePath, SaveFile& save) {
    const std::wstring path = WidenBytes(savePath);
    if (!save.folder) {
        if (!HoldFolder(FolderOf(path), save.own))
            return false;
        save.folder = &save.own;
    }
    save.name = NameOf(path);
    FreeNameIn(*save.folder, save.name);
    BY_HANDLE_FILE_INFORMATION info{};
    save.file = OpenInFolder(*save.folder, save.name, GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                             CREATE_NEW, info);
    if (!save.file)
        return false;
    if (IdOf(save.file.get(), save.id) && DeleteWhenClosed(save.file.get(), true))
        return true;
    RemoveThrough(save.file.get());
    save.file.reset();
    return false;
}

// A 200 where the rest was asked for: the host sends the whole body again,
// so the file starts over, through the handle that holds it, and so does the
// hash; the progress goes back with it.
bool StartOver(SaveFile& save, Sha256* hash, Sha256Digest* digest) {
    const LARGE_INTEGER start{};
    if (!SetFilePointerEx(save.file.get(), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(save.file.get()))
        return false;
    save.written = 0;
    if (digest)
        Sha256Begin(*hash);
    return true;
}

// Streams a body into the save file, after what it holds. Succeeded only when
// the whole body is written, hashed and the file closed.
Outcome SaveBody(HINTERNET request, SaveFile& save, std::string& error,
                 const ProgressCallback& progress, Sha256* hash, Sha256Digest* digest) {
    std::array<char, kBlockSize> block;
    bool arrived = false;
    bool broken = false;
    for (;;) {
        DWORD read = 0;
        broken = !WinHttpReadData(request, block.data(), static_cast<DWORD>(block.size()), &read);
        if (broken || read == 0)
            break;
        DWORD written = 0;
        if (!WriteFile(save.file.get(), block.data(), read, &written, nullptr) || written != read)
            return Fail(error, "failed to write save file", Outcome::Final);
        arrived = true;
        if (digest)
            Sha256Add(*hash, block.data(), read);
        save.written += read;
        if (progress)
            progress(save.written, save.total);
    }
    // An announced body is whole when all of it is written, even if the
    // connection broke right after; one without a length must end cleanly.
    const bool whole = save.announced ? save.written == save.total : !broken;
    if (!whole)
        return Fail(error, "download incomplete", arrived ? Outcome::Interrupted : Outcome::Failed);
    if (digest && !Sha256Finish(*hash, *digest))
        return Fail(error, "failed to hash save file", Outcome::Final);
    // Complete: the mark comes off just before the file is closed.
    if (!DeleteWhenClosed(save.file.get(), false))
        return Fail(error, "failed to write save file", Outcome::Final);
    if (!CloseHandle(save.file.release())) {
        RemoveInFolder(*save.folder, save.name, save.id);
        return Fail(error, "failed to write save file", Outcome::Final);
    }
    return Outcome::Succeeded;
}

// The range from what the file holds, valid only while the body is the one
// begun (If-Range), else the host sends all of it anew. Added, not replaced,
// as the request is new: a buffer that replaces may hold one header only.
// One a call all the same, so that no reading of that rule can drop one.
bool AddResumeHeaders(HINTERNET request, const SaveFile& save) {
    const std::wstring headers[] = {L"Range: bytes=" + std::to_wstring(save.written) + L"-",
                                    L"If-Range: " + save.validator};
    for (const std::wstring& header : headers) {
        if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD))
            return false;
    }
    return true;
}

// Whether the answer came over a TLS session with the host: the request then
// holds the host's certificate.
bool HostCertificatePresent(HINTERNET request) {
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    const bool queried = WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT,
                                            &certificate, &size) != FALSE;
    const UniqueCertificate owned(certificate);
    return queried && owned;
}

// Sends the request and reads the status of its answer, sending it again
// where the platform asks for that (a logon of more than one round). On
// failure, error names the step that failed and the result is its WinHTTP
// error.
DWORD Exchange(HINTERNET request, DWORD& status, std::string& error) {
    for (int round = 0;; ++round) {
        DWORD failure = ERROR_SUCCESS;
        if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                                0, 0, 0)) {
            failure = GetLastError();
            error = "WinHttpSendRequest failed";
        } else if (!WinHttpReceiveResponse(request, nullptr)) {
            failure = GetLastError();
            error = "WinHttpReceiveResponse failed";
        }
        if (failure == ERROR_WINHTTP_RESEND_REQUEST && round < kMaxResends)
            continue;
        if (failure != ERROR_SUCCESS)
            return failure;
        status = 0;
        DWORD size = sizeof(status);
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
        return ERROR_SUCCESS;
    }
}

// After a proxy's 407: the logged-on user's own credentials (Negotiate or
// NTLM, no name or password given) for the request's next round. False when
// the proxy offers neither, as it then wants a password.
bool OfferProxyLogon(HINTERNET request) {
    DWORD offered = 0, first = 0, target = 0;
    const DWORD scheme =
        WinHttpQueryAuthSchemes(request, &offered, &first, &target) ? ProxyLogonScheme(offered) : 0;
    if (scheme == 0)
        return false;
    // WinHTTP's default policy gives the user's logon to intranet hosts
    // only, which a proxy the user named need not be by its name; only such
    // a proxy gets here (OffersUserLogon). The documentation knows no way to
    // lower the policy for the proxy alone: it holds for this whole request,
    // whose GET goes on to the host through the tunnel, so a host that
    // answers it with a 401 asking for Negotiate or NTLM (the download host,
    // or one it redirects to) gets the user's logon too: an answer to its
    // challenge, not the password, but one that can be relayed or attacked
    // offline. Only requests that such a proxy asked a logon for run so.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr,
                                 nullptr);
}

// The road through the first of `proxies` (none: the default road), the
// others to follow it in order, and then the default road where
// `defaultRoadLast` says so.
void TakeProxies(Road& road, std::vector<std::wstring> proxies, ProxySource source,
                 bool defaultRoadLast) {
    road.proxy = proxies.empty() ? std::wstring() : proxies.front();
    if (!proxies.empty())
        proxies.erase(proxies.begin());
    road.further = std::move(proxies);
    road.source = road.proxy.empty() ? ProxySource::None : source;
    road.defaultRoadLast = defaultRoadLast;
}

// After the road could not reach anything: the next proxy of the list, else
// the default road once. False when nothing is left to try.
bool TakeNextRoad(Road& road) {
    if (road.proxy.empty())
        return false;
    if (road.further.empty() && !road.defaultRoadLast)
        return false;
    TakeProxies(road, std::move(road.further), road.source, road.defaultRoadLast);
    return true;
}

// After the default road could not reach the host: an auto-detection that
// had missed its budget is waited for, until kLateDetectionMs after it
// began; a proxy it names is tried once (and the rest of its list), never
// with the user's logon.
bool TakeLateDetection(UserProxy& found, Road& road) {
    for (;;) {
        ProxyLookupAnswer answer;
        LateDetection detection = LateDetection::None;
        if (found.late) {
            if (!AwaitCall(found.late, 0, answer))
                detection = LateDetection::Running;
            else if (answer.answered && !answer.proxies.empty())
                detection = LateDetection::NamedProxy;
        }
        switch (NextAfterDefaultRoad(detection, true)) {
        case AfterDefaultRoad::GiveUp:
            return false;
        case AfterDefaultRoad::TryDetectedProxy:
            found.late.reset();
            TakeProxies(road, answer.proxies, ProxySource::AutoDetection, false);
            return true;
        case AfterDefaultRoad::WaitForDetection: {
            const ULONGLONG waited = GetTickCount64() - found.lateSince;
            if (waited >= kLateDetectionMs) {
                found.late.reset();
                return false;
            }
            AwaitCall(found.late, static_cast<DWORD>(kLateDetectionMs - waited), answer);
            break;
        }
        }
    }
}

// One request with a session of its own. The handles are declared in opening
// order, so every way out closes request, connection, session. Once the save
// file exists, the request asks for the rest of the body.
Outcome Attempt(const ParsedUrl& url, const std::string& savePath, SaveFile& save,
                std::string& error, const ProgressCallback& progress, Sha256* hash,
                Sha256Digest* digest, Road& road, std::string& redirectTarget) {
    const bool proxied = !road.proxy.empty();
    InternetHandle session(WinHttpOpen(
        L"VelmorInstaller/1.0",
        proxied ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
        proxied ? road.proxy.c_str() : WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return Fail(error, "WinHttpOpen failed");
    WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    if (road.tls == TlsOffer::UpToTls12) {
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
    // hand a later session a pooled connection. A proxy's logon (NTLM,
    // Negotiate) needs its connection kept between rounds: there, the
    // session, this attempt's own, ends the connection with it.
    DWORD features = WINHTTP_DISABLE_REDIRECTS | (proxied ? 0 : WINHTTP_DISABLE_KEEP_ALIVE);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof(features));

    // Added to the request once, so that a second round sends them once.
    // The rest of the body, where the file exists and the host can resume it.
    const bool rest = save.file && save.resumable;
    if (rest && !AddResumeHeaders(request.get(), save))
        return Fail(error, "WinHttpAddRequestHeaders failed");
    DWORD status = 0;
    DWORD failure = Exchange(request.get(), status, error);
    Answerer answerer = Answerer::Host;
    if (failure == ERROR_SUCCESS)
        answerer = WhoAnswered(status, HostCertificatePresent(request.get()));
    const LogonAsker asker = proxied ? LogonAsker::NamedProxy : LogonAsker::DefaultRoadProxy;
    if (answerer == Answerer::ProxyAsksLogon && OffersUserLogon(asker, road.source)) {
        if (!OfferProxyLogon(request.get()))
            return Fail(error, kProxyLogonFailed);
        failure = Exchange(request.get(), status, error);
        if (failure == ERROR_SUCCESS)
            answerer = WhoAnswered(status, HostCertificatePresent(request.get()));
    }
    if (failure != ERROR_SUCCESS)
        return !road.kept && ProxyUnreachable(failure) ? Outcome::Unreachable : Outcome::Failed;
    // Only the host's own answers are acted on: a proxy's plain-text reply to
    // CONNECT must not redirect the download or stand in for its body.
    if (answerer == Answerer::ProxyRefused) {
        error = "proxy refused the tunnel: " + std::to_string(status);
        return proxied && !road.kept ? Outcome::Unreachable : Outcome::Failed;
    }
    if (answerer == Answerer::ProxyAsksLogon || status == HTTP_STATUS_PROXY_AUTH_REQ)
        return Fail(error, kProxyLogonFailed);
    road.kept = true; // the host answered along this road

    if (!save.file) {
        if (IsRedirect(status) && ReadLocation(request.get(), redirectTarget))
            return Outcome::Redirected;
        if (status != 200) {
            error = "HTTP status not OK: " + std::to_string(status);
            return Outcome::Failed;
        }
        TakeBodyHeaders(request.get(), save);
        if (!CreateSaveFile(savePath, save))
            return Fail(error, "failed to create save file", Outcome::Final);
    } else if (status == 206 && rest) {
        if (!RangeContinues(HeaderText(request.get(), WINHTTP_QUERY_CONTENT_RANGE), save.written,
                            save.total)) {
            // Asking for the same range again would get the same answer: the
            // next attempt asks for the whole body, which starts the file and
            // its hash over.
            save.resumable = false;
            return Fail(error, "resumed range not as asked");
        }
    } else if (status == 200) {
        TakeBodyHeaders(request.get(), save);
        if (!StartOver(save, hash, digest))
            return Fail(error, "failed to write save file", Outcome::Final);
    } else {
        // Asking again helps when the host is busy (5xx), not when it
        // refuses (4xx, a redirect where the body was).
        error = "HTTP status not OK: " + std::to_string(status);
        return status >= 500 && status < 600 ? Outcome::Failed : Outcome::Final;
    }
    return SaveBody(request.get(), save, error, progress, hash, digest);
}

} // namespace

bool RangeContinues(const std::wstring& contentRange, std::uint64_t written, std::uint64_t total) {
    // "bytes FIRST-LAST/TOTAL", each a decimal number; TOTAL may be "*"
    // (not known), as FIRST and LAST say all that is needed.
    const std::wstring unit = L"bytes ";
    const std::size_t dash = contentRange.find(L'-');
    const std::size_t slash = contentRange.find(L'/');
    if (!SameText(contentRange.substr(0, unit.size()), unit.c_str()) ||
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

bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error,
                  ProgressCallback progress, Sha256Digest* bodyDigest, TlsOffer tls,
                  FileId* savedFile, const HeldFolder* folder) {
    // Wine workaround: crypt32 and bcrypt are loaded before WinHTTP is first
    // used. Wine's WinHTTP brings in crypt32, which imports bcrypt, and Wine
    // looks for a DLL that is not loaded yet beside the program too; loaded
    // from System32 first (delay-loaded, through the hook), each is simply
    // reused.
    CertFreeCertificateContext(nullptr);
    Sha256 hash;
    if (bodyDigest)
        Sha256Begin(hash);
    // Closed on every way out; while it is incomplete, closing removes it.
    SaveFile save;
    save.folder = folder;
    UserProxy found;
    Road road;
    road.tls = tls;
    bool roadChosen = false;
    std::string current = url;
    for (int redirects = 0, resumptions = 0;;) {
        ParsedUrl parsed;
        if (!ParseHttpsUrl(current, parsed)) {
            error = "URL parse failed";
            return false;
        }
        if (!roadChosen) {
            found = UserProxyFor(UrlText(parsed), parsed.host);
            TakeProxies(road, found.proxies, found.source, true);
            roadChosen = true;
        }
        std::string target;
        const Outcome outcome =
            Attempt(parsed, savePath, save, error, progress, &hash, bodyDigest, road, target);
        if (outcome == Outcome::Succeeded) {
            if (savedFile)
                *savedFile = save.id;
            return true;
        }
        if (outcome == Outcome::Unreachable) {
            // Only before anything answered: a proxy the user's settings name
            // is down, perhaps left from another network, or will not tunnel
            // to the host. The next one of its list is tried, and then the
            // default road, which is what worked before the settings were
            // read; where that fails too, an auto-detection that answers late
            // may name the proxy that leads out.
            if (TakeNextRoad(road) || TakeLateDetection(found, road))
                continue;
            return false;
        }
        if (outcome == Outcome::Redirected) {
            current = ResolveReference(current, target);
            if (++redirects >= kMaxRequests) {
                error = "Too many redirects";
                return false;
            }
            continue;
        }
        // A line that drops mid-body costs a wait, not the download: once body
        // bytes have arrived, the rest is asked for again, from the same URL.
        // A failure before any byte (no network, a refusal, a bad status) is
        // reported at once, as are our own write failures.
        const bool resuming =
            outcome == Outcome::Interrupted || (outcome == Outcome::Failed && resumptions > 0);
        if (!resuming || resumptions == kMaxResumptions)
            return false;
        Sleep(kFirstResumeWaitMs << resumptions);
        ++resumptions;
    }
}
