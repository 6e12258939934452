#pragma once
// Blocking HTTPS download of one file, with progress after every block.

#include <string>

#include "app/progress.h"

// Fetches url (an absolute "https://" URL) into savePath, following at most
// two redirects, accepting status 200 only. On failure returns false, puts a
// short English message into error and leaves no partial save file behind; a
// file already under savePath is touched only once a 200 response arrived.
// progress, when it holds a target, is called after each written block.
bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error,
                  ProgressCallback progress);
