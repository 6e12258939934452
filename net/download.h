#pragma once
// Blocking HTTPS download of one file, with progress after every block.

#include <cstdint>
#include <string>

#include "base/file_by_handle.h"
#include "base/held_folder.h"
#include "net/progress_callback.h"
#include "net/sha256.h"

// What the download asks of TLS: the platform's default, or TLS 1.0 to 1.2
// set explicitly, which Windows 7's WinHTTP offers only when asked (with its
// update KB3140245; without it the default stays). Never set elsewhere: on
// newer Windows the setting is an allow-list and would switch TLS 1.3 off.
enum class TlsOffer { PlatformDefault, UpToTls12 };

// Fetches url (an absolute "https://" URL) into savePath, following at most
// two redirects (a relative Location resolved against the URL that sent it),
// accepting status 200 only. When the connection drops after body bytes have
// arrived, it asks again, up to five times, waiting 1, 2, 4, 8 and 16 s: for
// the rest (Range with If-Range) where the host offers ranges and a
// validator, else for the whole body, which then starts the file over. On
// failure returns false, puts a short English message (the last attempt's)
// into error and leaves no partial save file behind, nor does a process that
// ends mid-download; a file already under savePath is touched only once a 200
// response arrived.
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
// (UserProxyFor, net/proxy.h), else by WinHTTP's default road; through a
// proxy only the host's own answers count (WhoAnswered), and a named proxy
// that cannot be reached or will not tunnel, before anything answered, is
// left for the next one of its list, then for the default road once; where
// that cannot reach the host either, a late auto-detection may name one
// more. Only a proxy the user named gets the user's logon.
bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error,
                  ProgressCallback progress, Sha256Digest* bodyDigest = nullptr,
                  TlsOffer tls = TlsOffer::PlatformDefault, FileId* savedFile = nullptr,
                  const HeldFolder* folder = nullptr);

// Whether a 206 response's Content-Range ("bytes FIRST-LAST/TOTAL", TOTAL
// "*" where the host does not know it) is the rest of the body asked for:
// from `written` to the end of `total` bytes.
bool RangeContinues(const std::wstring& contentRange, std::uint64_t written, std::uint64_t total);

// A Content-Length header's value as a 64-bit number: one or more ASCII
// digits and nothing else, at most 2^64 - 1. False for anything else, which
// then counts as no announced length.
bool ParseContentLength(const std::wstring& text, std::uint64_t& length);
