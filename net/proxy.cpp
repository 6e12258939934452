#include "net/proxy.h"

#include <windows.h>

#include <winhttp.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "base/bounded_call.h"
#include "base/same_text.h"
#include "base/separated.h"
#include "base/unique_handle.h"

namespace {

// The strings WinHTTP hands over for the caller to free.
using GlobalText = UniqueAny<LPWSTR, GlobalFree>;

// A script download is a small request: it gets less time than the package.
constexpr DWORD kScriptTimeoutMs = 10000;

wchar_t Lower(wchar_t unit) {
    return static_cast<wchar_t>(std::towlower(unit));
}

// Whether text matches pattern as a whole, '*' standing for any run.
bool Matches(const std::wstring& pattern, const std::wstring& text) {
    std::size_t p = 0, t = 0, star = std::wstring::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

std::wstring WithoutScheme(const std::wstring& entry) {
    const std::size_t scheme = entry.find(L"://");
    return scheme == std::wstring::npos ? entry : entry.substr(scheme + 3);
}

// "http://host:port/" as "host:port"; a port of 80 where none is given.
std::wstring HostAndPort(const std::wstring& entry) {
    std::wstring server = WithoutScheme(entry);
    server = server.substr(0, server.find(L'/'));
    if (server.empty())
        return server;
    return server.find(L':') == std::wstring::npos ? server + L":80" : server;
}

// What a word of a proxy script's answer says of the entry it begins.
// WinHTTP is seen to hand the answer over as hosts alone ("a:80;b:80"), but
// documents no such form: an entry that keeps its keyword is read by it.
enum class Keyword { None, Proxy, Direct, Other };

Keyword KeywordOf(const std::wstring& word) {
    for (const wchar_t* proxy : {L"PROXY", L"HTTP"})
        if (SameIgnoringCase(word, proxy))
            return Keyword::Proxy;
    if (SameIgnoringCase(word, L"DIRECT"))
        return Keyword::Direct;
    // Kinds that are no plain HTTP proxy, which is all WinHTTP can use.
    for (const wchar_t* other : {L"SOCKS", L"SOCKS4", L"SOCKS5", L"HTTPS"})
        if (SameIgnoringCase(word, other))
            return Keyword::Other;
    return Keyword::None;
}

// Letters and digits alone, the form of a keyword: such a word with another
// after it in its entry is read as an unknown keyword, not as a host. A host
// without a dot or a port that another follows after white space alone is
// read so too, which only a fixed setting written by hand could hold.
bool KeywordShaped(const std::wstring& word) {
    return std::all_of(word.begin(), word.end(), [](wchar_t unit) {
        return (unit >= L'0' && unit <= L'9') || (unit >= L'a' && unit <= L'z') ||
               (unit >= L'A' && unit <= L'Z');
    });
}

// Whether the word after a keyword is its host: neither a keyword of its
// own nor an entry that names its scheme.
bool MayBeHost(const std::wstring& word) {
    return KeywordOf(word) == Keyword::None && word.find(L'=') == std::wstring::npos;
}

// The https proxy that a word without a keyword names: "host:port", the
// host of "https=host:port", or none.
std::wstring ServerOf(const std::wstring& word) {
    const std::size_t equals = word.find(L'=');
    if (equals == std::wstring::npos)
        return HostAndPort(word);
    return SameIgnoringCase(word.substr(0, equals), L"https") ? HostAndPort(word.substr(equals + 1))
                                                              : std::wstring();
}

// WinHttpGetProxyForUrl for one way of finding the script: first without
// logging on, then, for the script the user set, as the user where its host
// asks for it. True when it gave an answer, which may be "no proxy".
bool ScriptAnswer(HINTERNET session, const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS options,
                  ProxySource lookup, std::vector<std::wstring>& proxies) {
    WINHTTP_PROXY_INFO info{};
    options.fAutoLogonIfChallenged = FALSE;
    BOOL answered = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    if (!answered && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE &&
        OffersUserLogon(LogonAsker::ScriptHost, lookup)) {
        options.fAutoLogonIfChallenged = TRUE;
        answered = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    }
    if (!answered)
        return false;
    const GlobalText named(info.lpszProxy), bypass(info.lpszProxyBypass);
    proxies = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && named
                  ? HttpsProxyList(named.get())
                  : std::vector<std::wstring>();
    return true;
}

InternetHandle ScriptSession() {
    // The script itself is fetched directly, as Windows' own lookup does.
    InternetHandle session(WinHttpOpen(L"VelmorInstaller/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session)
        WinHttpSetTimeouts(session.get(), kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs,
                           kScriptTimeoutMs);
    return session;
}

ProxyLookupAnswer RunLookup(const std::wstring& url, const std::wstring& scriptUrl) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    // Asks WinHTTP not to fall back to running the script in this process
    // when its out-of-process lookup fails. The documentation gives the flag
    // for Windows Server 2003 only: on Windows 7 to 11 it promises nothing,
    // and WinHTTP may run the script in this elevated process, in its own
    // script engine.
    options.dwFlags = WINHTTP_AUTOPROXY_RUN_OUTPROCESS_ONLY;
    const ProxySource lookup =
        scriptUrl.empty() ? ProxySource::AutoDetection : ProxySource::UserScript;
    if (scriptUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl.c_str();
    }
    ProxyLookupAnswer answer;
    const InternetHandle session = ScriptSession();
    answer.answered = session && ScriptAnswer(session.get(), url, options, lookup, answer.proxies);
    return answer;
}

// The lookup's answer (scriptUrl empty: auto-detection), if it comes within
// budgetMs. It runs on a thread of its own so that the download waits for it
// only so long: on a network without a proxy script auto-detection may
// search for seconds, and a script's host may not answer. `running`, when
// given, keeps a lookup that has not answered in time.
bool LookUp(const std::wstring& url, const std::wstring& scriptUrl, DWORD budgetMs,
            std::vector<std::wstring>& proxies, PendingCall<ProxyLookupAnswer>* running = nullptr) {
    const PendingCall<ProxyLookupAnswer> call =
        StartCall<ProxyLookupAnswer>([url, scriptUrl] { return RunLookup(url, scriptUrl); });
    ProxyLookupAnswer answer;
    if (!AwaitCall(call, budgetMs, answer)) {
        if (running)
            *running = call;
        return false;
    }
    if (!answer.answered)
        return false;
    proxies = answer.proxies;
    return true;
}

bool Given(const GlobalText& text) {
    return text && *text.get();
}

} // namespace

UserProxy UserProxyFor(const std::wstring& url, const std::wstring& host) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
        return UserProxy();
    const GlobalText script(config.lpszAutoConfigUrl), fixed(config.lpszProxy),
        bypass(config.lpszProxyBypass);
    // As the browser does: auto-detection first, then the script the user
    // named, then the fixed proxy, each only where the one before had no
    // answer.
    UserProxy found;
    const ULONGLONG started = GetTickCount64();
    if (config.fAutoDetect &&
        LookUp(url, std::wstring(), kAutoDetectBudgetMs, found.proxies, &found.late)) {
        found.source = ProxySource::AutoDetection;
    } else if (Given(script) && LookUp(url, script.get(), kScriptBudgetMs, found.proxies)) {
        found.source = ProxySource::UserScript;
    } else if (Given(fixed) && !(Given(bypass) && BypassesProxy(bypass.get(), host))) {
        found.proxies = HttpsProxyList(fixed.get());
        found.source = ProxySource::UserFixed;
    }
    if (found.proxies.empty())
        found.source = ProxySource::None;
    if (found.late)
        found.lateSince = started;
    return found;
}

std::vector<std::wstring> HttpsProxyList(const std::wstring& list) {
    std::vector<std::wstring> proxies;
    for (const std::wstring& entry : SeparatedEntries(list, L";")) {
        const std::vector<std::wstring> words = SeparatedEntries(entry, L" \t\r\n");
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::wstring& word = words[i];
            const bool followed = i + 1 < words.size();
            Keyword keyword = KeywordOf(word);
            if (keyword == Keyword::None && followed && KeywordShaped(word))
                keyword = Keyword::Other;
            std::wstring server;
            if (keyword == Keyword::Direct) {
                return proxies;
            } else if (keyword == Keyword::None) {
                server = ServerOf(word);
            } else if (followed && MayBeHost(words[i + 1])) {
                // The keyword's host goes with it, whatever the keyword.
                ++i;
                if (keyword == Keyword::Proxy)
                    server = HostAndPort(words[i]);
            }
            if (!server.empty())
                proxies.push_back(server);
            if (proxies.size() == kMaxProxiesTried)
                return proxies;
        }
    }
    return proxies;
}

bool BypassesProxy(const std::wstring& bypass, const std::wstring& host) {
    for (const std::wstring& entry : SeparatedEntries(bypass, L";, \t\r\n")) {
        if (SameIgnoringCase(entry, L"<local>")) {
            if (host.find(L'.') == std::wstring::npos)
                return true;
        } else if (Matches(WithoutScheme(entry), host)) {
            return true;
        }
    }
    return false;
}

bool ProxyUnreachable(DWORD error) {
    return error == ERROR_WINHTTP_NAME_NOT_RESOLVED || error == ERROR_WINHTTP_CANNOT_CONNECT ||
           error == ERROR_WINHTTP_TIMEOUT;
}

Answerer WhoAnswered(DWORD status, bool hostCertificate) {
    if (hostCertificate)
        return Answerer::Host;
    return status == HTTP_STATUS_PROXY_AUTH_REQ ? Answerer::ProxyAsksLogon : Answerer::ProxyRefused;
}

bool OffersUserLogon(LogonAsker asker, ProxySource source) {
    switch (asker) {
    case LogonAsker::NamedProxy:
        return source == ProxySource::UserScript || source == ProxySource::UserFixed;
    case LogonAsker::ScriptHost:
        return source == ProxySource::UserScript;
    case LogonAsker::DefaultRouteProxy:
        break;
    }
    return false;
}

DWORD ProxyLogonScheme(DWORD offered) {
    if (offered & WINHTTP_AUTH_SCHEME_NEGOTIATE)
        return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    if (offered & WINHTTP_AUTH_SCHEME_NTLM)
        return WINHTTP_AUTH_SCHEME_NTLM;
    return 0;
}
