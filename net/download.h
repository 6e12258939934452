#pragma once
// Blocking HTTPS download of one file, with progress after every block.

#include <cstdint>
#include <string>

#include "base/file_by_handle.h"
#include "base/held_folder.h"
#include "net/progress_callback.h"
#include "net/proxy_route.h"
#include "net/sha256.h"

// Fetches url (an absolute "https://" URL) into savePath, following at most
// two redirects (a relative Location resolved against the URL that sent it),
// accepting status 200 only. When the connection drops after body bytes have
// arrived, it asks again, up to five times, waiting 1, 2, 4, 8 and 16 s: for
// the rest (Range with If-Range) where the host offers ranges and a
// validator, else for the whole body, which then starts the file over. Every
// wait of a request is bounded at 30 s (OpenRequest): a host silent that long
// fails the attempt. On failure returns false, puts a short English message
// (the last attempt's) into error and leaves no partial save file behind, nor
// does a process that ends mid-download; a file already under savePath is
// touched only once a 200 response arrived.
// progress, when it holds a target, is called after each written block.
// The save file's folder is held while the file is written, and the file is
// always created anew in it (what had its name is removed first, a link
// without its target; a link planted in between fails the download), and
// nobody else can write, rename or delete it until it is closed. bodyDigest,
// when given, receives the SHA-256 of the body as it streamed into the file,
// and savedFile which file that is. tls says what each session offers.
// folder, when given, is the folder the file is saved in, held by the
// caller, and savePath a bare name in it; else savePath's folder is held
// once the first 200 has arrived.
// Requests go through the proxy the user's own settings name for url
// (UserProxyFor, net/proxy.h), else by WinHTTP's default route; through a
// proxy only the host's own answers count (WhoAnswered), and a named proxy
// that cannot be reached or will not tunnel, before anything answered, is
// left for the next one of its list, then for the default route once; where
// that cannot reach the host either, a late auto-detection may name one
// more. Only a proxy the user named gets the user's logon.
bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error,
                  ProgressCallback progress, Sha256Digest* bodyDigest = nullptr,
                  TlsOffer tls = TlsOffer::PlatformDefault, FileId* savedFile = nullptr,
                  const HeldFolder* folder = nullptr);

// How one attempt (one request) ended.
enum class AttemptEnd {
    Done,              // the whole body is in the file
    Redirected,        // the first response is a redirect to follow
    NotReached,        // nothing answered along the route (Reply::NotReached)
    Failed,            // no body byte came in this attempt: no network, a bad status...
    RangeNotContinued, // a 206 that is not the rest of the file
    BrokenOff,         // body bytes arrived, then the attempt broke off
    Final,             // never asked again: the file could not be written, or
                       // the host refused the rest for good (a 4xx)
};

inline constexpr int kMaxRedirects = 2;
inline constexpr int kMaxResumptions = 5;

// What the download knows once an attempt has ended.
struct AfterAttempt {
    AttemptEnd end = AttemptEnd::Failed;
    bool bodyArrived = false;  // in this attempt or an earlier one
    int resumptions = 0;       // waits before asking again, so far
    int redirects = 0;         // followed so far
    bool hostAnswered = false; // ever, in this download
    RouteLeft left = RouteLeft::Nothing;
    LateDetection detection = LateDetection::None;
};

// What comes next: the redirect followed (at most kMaxRedirects); before
// the host ever answered, a route that reached nothing fails over to what it
// has left (FailOver), else to a late auto-detection's proxy, waited for
// while it runs; once body bytes have arrived, a failed attempt is asked
// again after a wait, at most kMaxResumptions times, for the whole body where
// the host did not continue the file; anything else ends the download.
enum class NextStep {
    Finish,
    FollowRedirect,
    FailOver,
    WaitForDetection,
    TryDetectedProxy,
    ResumeAfterWait,
    WholeBodyAfterWait,
    GiveUp,
};
NextStep NextStepAfter(const AfterAttempt& state);
