// The decisions about the user's proxy that need no network: which entry of
// a proxy list serves https, which hosts a bypass list exempts, which errors
// mean the proxy is down, whose answer a response is, and whether and how to
// log on to a proxy that asks.

#include <gtest/gtest.h>

#include <windows.h>

#include <winhttp.h>

#include <string>
#include <vector>

#include "net/proxy.h"

namespace {

TEST(HttpsProxyList, TheEntriesForHttpsInOrderUntilDirect) {
    using List = std::vector<std::wstring>;
    struct Case {
        const wchar_t* list;
        List proxies;
    } cases[] = {
        {L"proxy.corp:8080", {L"proxy.corp:8080"}},
        {L"http=a:80;https=b:8443", {L"b:8443"}},
        {L"HTTPS=b:8443;http=a:80", {L"b:8443"}},
        {L"http=a:80;ftp=c:21", {}}, // no entry for https: direct
        {L"http=a:80 https=b:443", {L"b:443"}},
        {L"a:3128; b:3128", {L"a:3128", L"b:3128"}}, // a script's list: in its order
        {L"a:3128 b:3128", {L"a:3128", L"b:3128"}},
        {L"PROXY a:8080; PROXY b:8080; DIRECT", {L"a:8080", L"b:8080"}},
        {L"a:1;b:2;c:3;d:4", {L"a:1", L"b:2", L"c:3"}}, // three at the most
        {L"a:1; DIRECT; b:2", {L"a:1"}},                // the default road there
        {L"direct", {}},
        {L"SOCKS s:1080", {}}, // no keyword is ever a host
        {L"SOCKS5 s:1080; PROXY p:8080", {L"p:8080"}},
        {L"HTTPS h:443; HTTP p:3128", {L"p:3128"}},
        {L"QUIC q:443; PROXY p:8080", {L"p:8080"}}, // unknown: skipped with its host
        {L"proxy a:1; socks4 b:2; Direct; PROXY c:3", {L"a:1"}},
        {L"PROXY a:1; SOCKS", {L"a:1"}},
        {L"PROXY; SOCKS5; a:1", {L"a:1"}}, // no host across a ';'
        {L"PROXY DIRECT", {}},
        {L"proxy.corp", {L"proxy.corp:80"}},
        {L"http://proxy.corp:8080/", {L"proxy.corp:8080"}},
        {L"https=http://b:3128", {L"b:3128"}},
        {L"  ;proxy:1", {L"proxy:1"}},
        {L"", {}},
        {L";;", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HttpsProxyList(c.list), c.proxies) << c.list;
}

TEST(BypassesProxy, MatchesWholeNamesWithWildcardsAndLocal) {
    struct Case {
        const wchar_t* bypass;
        const wchar_t* host;
        bool bypassed;
    } cases[] = {
        {L"download.velmor.com", L"download.velmor.com", true},
        {L"DOWNLOAD.velmor.COM", L"download.velmor.com", true},
        {L"velmor.com", L"download.velmor.com", false},
        {L"*.velmor.com", L"download.velmor.com", true},
        {L"*.velmor.com", L"velmor.com", false},
        {L"*velmor*", L"download.velmor.com", true},
        {L"127.0.0.*", L"127.0.0.1", true},
        {L"127.0.0.*", L"127.0.1.1", false},
        {L"10.*;*.corp", L"download.velmor.com", false},
        {L"10.*;*.velmor.com", L"download.velmor.com", true},
        {L"10.*, *.velmor.com", L"download.velmor.com", true},
        {L"10.* *.velmor.com", L"download.velmor.com", true},
        {L"https://*.velmor.com", L"download.velmor.com", true},
        {L"<local>", L"intranet", true},
        {L"<LOCAL>", L"intranet", true},
        {L"<local>", L"download.velmor.com", false},
        {L"*", L"download.velmor.com", true},
        {L"", L"download.velmor.com", false},
        {L"download.velmor.co", L"download.velmor.com", false},
        {L"download.velmor.com.evil", L"download.velmor.com", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BypassesProxy(c.bypass, c.host), c.bypassed) << c.bypass << L" " << c.host;
}

TEST(ProxyUnreachable, OnlyTheProxysNameConnectionOrSilence) {
    EXPECT_TRUE(ProxyUnreachable(ERROR_WINHTTP_NAME_NOT_RESOLVED));
    EXPECT_TRUE(ProxyUnreachable(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_TRUE(ProxyUnreachable(ERROR_WINHTTP_TIMEOUT));
    for (DWORD error : {DWORD{ERROR_WINHTTP_SECURE_FAILURE}, DWORD{ERROR_WINHTTP_CONNECTION_ERROR},
                        DWORD{ERROR_WINHTTP_INVALID_SERVER_RESPONSE}, DWORD{ERROR_SUCCESS}})
        EXPECT_FALSE(ProxyUnreachable(error)) << error;
}

TEST(ProxyLogonScheme, TheUsersOwnLogonOnlyWithoutAPassword) {
    struct Case {
        DWORD offered;
        DWORD scheme;
    } cases[] = {
        {WINHTTP_AUTH_SCHEME_NEGOTIATE | WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_SCHEME_NEGOTIATE},
        {WINHTTP_AUTH_SCHEME_NTLM | WINHTTP_AUTH_SCHEME_BASIC, WINHTTP_AUTH_SCHEME_NTLM},
        {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NEGOTIATE},
        {WINHTTP_AUTH_SCHEME_BASIC, 0},
        {WINHTTP_AUTH_SCHEME_DIGEST | WINHTTP_AUTH_SCHEME_BASIC, 0},
        {0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProxyLogonScheme(c.offered), c.scheme) << c.offered;
}

TEST(WhoAnswered, OnlyWhatCameOverTheHostsTlsIsTheHosts) {
    struct Case {
        DWORD status;
        bool certificate;
        Answerer answerer;
    } cases[] = {
        {200, true, Answerer::Host},
        {302, true, Answerer::Host},
        {407, true, Answerer::Host}, // the host's own 407: never a proxy's logon
        {302, false, Answerer::ProxyRefused},
        {502, false, Answerer::ProxyRefused},
        {407, false, Answerer::ProxyAsksLogon},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WhoAnswered(c.status, c.certificate), c.answerer)
            << c.status << " " << c.certificate;
}

TEST(OffersUserLogon, OnlyToAPartyTheUserChose) {
    constexpr auto kNamed = LogonAsker::NamedProxy, kDefault = LogonAsker::DefaultRouteProxy,
                   kScript = LogonAsker::ScriptHost;
    struct Case {
        LogonAsker asker;
        ProxySource source;
        bool offered;
    } cases[] = {
        {kNamed, ProxySource::UserFixed, true},        {kNamed, ProxySource::UserScript, true},
        {kNamed, ProxySource::AutoDetection, false},   {kNamed, ProxySource::None, false},
        {kDefault, ProxySource::UserFixed, false},     {kDefault, ProxySource::UserScript, false},
        {kDefault, ProxySource::AutoDetection, false}, {kDefault, ProxySource::None, false},
        {kScript, ProxySource::UserScript, true},      {kScript, ProxySource::AutoDetection, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OffersUserLogon(c.asker, c.source), c.offered)
            << static_cast<int>(c.asker) << " " << static_cast<int>(c.source);
}

} // namespace
