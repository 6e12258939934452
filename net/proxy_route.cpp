#include "net/proxy_route.h"

#include <utility>

#include "net/response.h"

#ifdef VELMOR_TEST_HOOKS
#include <cwchar>

#include "base/test_hooks.h"
#endif

namespace {

// The bound on every wait of a request: the name, the connection, sending,
// each read, and the whole head of the response.
constexpr DWORD kTimeoutMs = 30000;
// Rounds of one request that the platform may ask to send again.
constexpr int kMaxResends = 3;

constexpr char kProxyLogonFailed[] = "proxy authentication failed";

// Sends the request and reads the status of its answer, sending it again
// where the platform asks for that (a logon of more than one round). On
// failure, error names the step that failed and the result is its WinHTTP
// error.
DWORD SendAndReceive(HINTERNET request, DWORD& status, std::string& error) {
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
        if (failure == ERROR_SUCCESS)
            status = StatusOf(request);
        return failure;
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

// The bound, which a test of a silent host shortens to seconds.
DWORD TimeoutMs() {
#ifdef VELMOR_TEST_HOOKS
    const std::wstring shortened = TestSetting(L"VELMOR_TEST_TIMEOUT_MS");
    if (!shortened.empty())
        return static_cast<DWORD>(std::wcstoul(shortened.c_str(), nullptr, 10));
#endif
    return kTimeoutMs;
}

} // namespace

ProxyRoute RouteThrough(std::vector<std::wstring> proxies, ProxySource source,
                        bool defaultRouteLast) {
    ProxyRoute route;
    if (!proxies.empty()) {
        route.proxy = std::move(proxies.front());
        proxies.erase(proxies.begin());
        route.source = source;
    }
    route.further = std::move(proxies);
    route.defaultRouteLast = defaultRouteLast;
    return route;
}

RouteLeft LeftOn(const ProxyRoute& route) {
    if (route.proxy.empty())
        return RouteLeft::Nothing;
    if (!route.further.empty())
        return RouteLeft::NextProxy;
    return route.defaultRouteLast ? RouteLeft::DefaultRoute : RouteLeft::Nothing;
}

void FailOver(ProxyRoute& route) {
    route = RouteThrough(std::move(route.further), route.source, route.defaultRouteLast);
}

LateDetection DetectionNow(UserProxy& found, std::vector<std::wstring>& proxies) {
    ProxyLookupAnswer answer;
    if (!found.late)
        return LateDetection::None;
    if (!AwaitCall(found.late, 0, answer))
        return LateDetection::Running;
    if (!answer.answered || answer.proxies.empty())
        return LateDetection::None;
    proxies = std::move(answer.proxies);
    return LateDetection::NamedProxy;
}

void WaitForDetection(UserProxy& found) {
    const ULONGLONG waited = GetTickCount64() - found.lateSince;
    ProxyLookupAnswer answer;
    if (waited >= kLateDetectionMs)
        found.late.reset();
    else
        AwaitCall(found.late, static_cast<DWORD>(kLateDetectionMs - waited), answer);
}

bool OpenRequest(const ParsedUrl& url, const ProxyRoute& route, TlsOffer tls, RouteRequest& opened,
                 std::string& error) {
    const bool proxied = !route.proxy.empty();
    opened.session.reset(WinHttpOpen(
        L"VelmorInstaller/1.0",
        proxied ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
        proxied ? route.proxy.c_str() : WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!opened.session) {
        error = "WinHttpOpen failed";
        return false;
    }
    if (tls == TlsOffer::UpToTls12) {
        // A failure means a Windows 7 without the update: its defaults apply.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                          WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        WinHttpSetOption(opened.session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                         sizeof protocols);
    }
    opened.connection.reset(WinHttpConnect(opened.session.get(), url.host.c_str(),
                                           static_cast<INTERNET_PORT>(url.port), 0));
    if (!opened.connection) {
        error = "WinHttpConnect failed";
        return false;
    }
    opened.request.reset(WinHttpOpenRequest(opened.connection.get(), L"GET", url.path.c_str(),
                                            nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!opened.request) {
        error = "WinHttpOpenRequest failed";
        return false;
    }
    // Redirects are decided by DownloadFile alone (at most two, to https
    // targets only), and every attempt uses a fresh connection; left alone,
    // the platform follows redirects itself, more than two of them, and may
    // hand a later session a pooled connection. A proxy's logon (NTLM,
    // Negotiate) needs its connection kept between rounds: there, the
    // session, this attempt's own, ends the connection with it.
    DWORD features = WINHTTP_DISABLE_REDIRECTS | (proxied ? 0 : WINHTTP_DISABLE_KEEP_ALIVE);
    WinHttpSetOption(opened.request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features,
                     sizeof(features));
    // The wait for the response's head is bounded as a whole too. Windows'
    // default is 90 s, checked as data arrives (a silent host meets the
    // receive timeout first); Wine 8 has none and ignores the receive timeout
    // until the head is in, so a host that takes the request and never
    // answers would hold the download for as long as it keeps the connection.
    DWORD timeout = TimeoutMs();
    WinHttpSetTimeouts(opened.request.get(), timeout, timeout, timeout, timeout);
    WinHttpSetOption(opened.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout,
                     sizeof timeout);
    return true;
}

Reply Exchange(HINTERNET request, const ProxyRoute& route, DWORD& status, std::string& error) {
    const bool proxied = !route.proxy.empty();
    DWORD failure = SendAndReceive(request, status, error);
    Answerer answerer = Answerer::Host;
    if (failure == ERROR_SUCCESS)
        answerer = WhoAnswered(status, HostCertificatePresent(request));
    const LogonAsker asker = proxied ? LogonAsker::NamedProxy : LogonAsker::DefaultRouteProxy;
    if (answerer == Answerer::ProxyAsksLogon && OffersUserLogon(asker, route.source)) {
        if (!OfferProxyLogon(request)) {
            error = kProxyLogonFailed;
            return Reply::Failed;
        }
        failure = SendAndReceive(request, status, error);
        if (failure == ERROR_SUCCESS)
            answerer = WhoAnswered(status, HostCertificatePresent(request));
    }
    if (failure != ERROR_SUCCESS)
        return ProxyUnreachable(failure) ? Reply::NotReached : Reply::Failed;
    // Only the host's own answers are acted on: a proxy's plain-text reply to
    // CONNECT must not redirect the download or stand in for its body.
    if (answerer == Answerer::ProxyRefused) {
        error = "proxy refused the tunnel: " + std::to_string(status);
        return proxied ? Reply::NotReached : Reply::Failed;
    }
    if (answerer == Answerer::ProxyAsksLogon || status == HTTP_STATUS_PROXY_AUTH_REQ) {
        error = kProxyLogonFailed;
        return Reply::Failed;
    }
    return Reply::Host;
}
