#pragma once
// Where the installer fetches its packages and where it sends users for help.
// Fixed when a program is built: install/endpoints.cpp is compiled into each
// installer program with its own values (see velmor_endpoints in
// install/CMakeLists.txt), so the tests can build one that talks to a local
// server while the shipped program knows only the vendor's hosts.

// Host name, optionally with ":port" (test builds only); no scheme, no path.
extern const char kDownloadHost[];
// "https://" and the support host; no port, no path.
extern const wchar_t kSupportUrl[];
// The publisher keys a setup program must be signed with, for
// SignedByPinnedPublisher (install/publisher.h); empty: not checked.
extern const char kPublisherKeys[];
