#pragma once
// The proxy the user's own settings name for a download: a fixed proxy and
// its bypass list, a proxy auto-config script, or auto-detection. WinHTTP's
// default route reads only the machine-wide setting, never the user's.

#include <windows.h>

#include <winhttp.h>

#include <string>
#include <vector>

#include "base/bounded_call.h"
#include "base/unique_handle.h"

// A WinHTTP session, connection or request, closed once.
using InternetHandle = UniqueAny<HINTERNET, WinHttpCloseHandle>;

// Where a download's proxy came from: the user named it (the fixed setting,
// or the proxy script the user set), or auto-detection found it, which any
// network the machine joins can answer (WPAD).
enum class ProxySource { None, AutoDetection, UserScript, UserFixed };

// What a lookup of the proxy (auto-detection, or the user's script) said:
// the proxies it named, in order (HttpsProxyList), or none.
struct ProxyLookupAnswer {
    bool answered = false;
    std::vector<std::wstring> proxies;
};

struct UserProxy {
    std::vector<std::wstring> proxies; // "host:port", to be tried in order; empty: none
    ProxySource source = ProxySource::None;
    // Auto-detection that had not answered within its budget runs on; it
    // started at lateSince (GetTickCount64).
    PendingCall<ProxyLookupAnswer> late;
    ULONGLONG lateSince = 0;
};

// The proxies that the current user's settings name for an https URL whose
// host is `host`, and where they came from; none when they name none
// (nothing set, the host bypassed, the script says DIRECT, or
// auto-detection finds nothing), and the download then takes WinHTTP's
// default route as before. Auto-detection is given kAutoDetectBudgetMs, the
// user's script at most kScriptBudgetMs; a lookup that takes longer counts
// as no answer, but auto-detection runs on (UserProxy::late).
UserProxy UserProxyFor(const std::wstring& url, const std::wstring& host);

constexpr DWORD kAutoDetectBudgetMs = 2000;
constexpr DWORD kScriptBudgetMs = 10000;
// How long after it started a late auto-detection is waited for, once the
// default route could not reach the host.
constexpr DWORD kLateDetectionMs = 12000;
// Proxies of one list tried before the default route.
constexpr std::size_t kMaxProxiesTried = 3;

// The https entries of a proxy list, as "host:port", in order and at most
// kMaxProxiesTried. The list is the fixed setting or what WinHTTP makes of a
// proxy script's answer: entries separated by ';' or white space, each
// "https=host:port" where the list names schemes ("http=a:80;https=b:443"),
// a bare "host:port" ("a:80 b:81", "a:80;b:81"), or a script's keyword with
// its host after white space ("PROXY a:80; SOCKS b:1080; DIRECT").
// Keywords are compared without regard to case. PROXY and HTTP name a
// proxy; DIRECT ends the list: the default route comes there; any other
// (SOCKS, SOCKS4, SOCKS5, HTTPS, or an unknown one: letters and digits alone
// with another word after it before the next ';') names none that WinHTTP
// can use, and is skipped with its host. No keyword is ever taken for a
// host. A "http://" before the host and a "/" after it are dropped, and a
// missing port is 80.
std::vector<std::wstring> HttpsProxyList(const std::wstring& list);

// Whether a bypass list ("*.corp.example;10.*;<local>", entries separated by
// ';', ',' or white space) exempts host from the proxy. An entry matches the
// whole host name, case-insensitively, with '*' standing for any run of
// characters; "<local>" matches a name without a dot.
bool BypassesProxy(const std::wstring& bypass, const std::wstring& host);

// Whether a WinHTTP error on a request through a proxy, before any answer,
// means the proxy itself could not be reached (its name, a connection to it,
// or no reply at all: a proxy left from another network), so the default
// route is worth a try.
bool ProxyUnreachable(DWORD error);

// Who gave the answer to an https request. Only an answer that came over the
// TLS session with the host (the request has the host's certificate) is the
// host's; any other is a proxy's own reply to CONNECT, in plain text, which
// never speaks for the host: a 407 asks for a logon, anything else refuses
// the tunnel. So it is on every route: the default route may lead through the
// machine-wide proxy, and a direct answer always has the certificate.
enum class Answerer { Host, ProxyAsksLogon, ProxyRefused };
Answerer WhoAnswered(DWORD status, bool hostCertificate);

// Who asks for a logon: the proxy of the route a download takes (one of the
// user's settings names, or the machine-wide one of the default route), or
// the host of the proxy script that a lookup fetches.
enum class LogonAsker { NamedProxy, DefaultRouteProxy, ScriptHost };

// Whether one that asks for a logon gets the logged-on user's own
// credentials: only a party the user chose, that is a proxy the user named
// (the fixed setting, or one the user's script names) and the host of the
// user's script; never what auto-detection found (its script's host, or a
// proxy that script names), which any network can answer, and never the
// default route's proxy.
bool OffersUserLogon(LogonAsker asker, ProxySource source);

// The scheme that logs on to a proxy with the user's own credentials, from
// what it offers (WinHttpQueryAuthSchemes): Negotiate, else NTLM; 0 when it
// offers neither, as then only a name and password would do.
DWORD ProxyLogonScheme(DWORD offered);
