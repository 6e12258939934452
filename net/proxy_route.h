#pragma once
// The route a download's requests take: through the proxies the user's
// settings name, one after another when one cannot be reached (proxy
// failover), then WinHTTP's default route; and a request opened on it.

#include <windows.h>

#include <winhttp.h>

#include <string>
#include <vector>

#include "net/proxy.h"
#include "net/url.h"

// What the download asks of TLS: the platform's default, or TLS 1.0 to 1.2
// set explicitly, which Windows 7's WinHTTP offers only when asked (with its
// update KB3140245; without it the default stays). Never set elsewhere: on
// newer Windows the setting is an allow-list and would switch TLS 1.3 off.
enum class TlsOffer { PlatformDefault, UpToTls12 };

// The proxy the requests go through (empty: WinHTTP's default route, the
// machine-wide setting or else direct), and what is left to fail over to.
struct ProxyRoute {
    std::wstring proxy;
    std::vector<std::wstring> further; // the proxies of the list still to try, in order
    bool defaultRouteLast = true;      // after them, the default route
    ProxySource source = ProxySource::None;
};

// The route through the first of `proxies` (none: the default route), the
// others to follow it in order, and then the default route where
// `defaultRouteLast` says so.
ProxyRoute RouteThrough(std::vector<std::wstring> proxies, ProxySource source,
                        bool defaultRouteLast);

// What a route has left after its current proxy.
enum class RouteLeft { Nothing, NextProxy, DefaultRoute };
RouteLeft LeftOn(const ProxyRoute& route);

// Moves the route on to what LeftOn names.
void FailOver(ProxyRoute& route);

// The state of an auto-detection that missed its budget (UserProxy::late),
// and the proxies it named, if any.
enum class LateDetection { None, Running, NamedProxy };
LateDetection DetectionNow(UserProxy& found, std::vector<std::wstring>& proxies);

// Waits for a late auto-detection until kLateDetectionMs after it began;
// past that it is given up.
void WaitForDetection(UserProxy& found);

// A request's handles, declared in opening order, so that they close
// request, connection, session.
struct RouteRequest {
    InternetHandle session, connection, request;
};

// Opens a session of its own on the route, a connection to the URL's host
// and a GET of its path, with what each request needs: 30 s on each wait
// (the name, the connection, sending, each read, and the response's head as
// a whole), the TLS offer, no redirects followed by the platform and no
// pooled connection.
// False, with the step that failed in `error`.
bool OpenRequest(const ParsedUrl& url, const ProxyRoute& route, TlsOffer tls, RouteRequest& opened,
                 std::string& error);

// Who answered a request sent on the route: the host (the status is then
// its), nothing along the route (a proxy that cannot be reached, or a named
// proxy that refuses the tunnel), or a failure of another kind. Only the
// host's own answers count (WhoAnswered); a proxy that asks for a logon gets
// the user's own once, where OffersUserLogon allows. `error` names what
// failed.
enum class Reply { Host, NotReached, Failed };
Reply Exchange(HINTERNET request, const ProxyRoute& route, DWORD& status, std::string& error);
