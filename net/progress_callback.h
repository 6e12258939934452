#pragma once
// What the downloader calls after each block it has written: the bytes
// written so far and the announced body size (0 when the server announced
// none). The window binds one to itself (app/progress_display.h).

#include <cstdint>
#include <functional>

using ProgressCallback = std::function<void(std::uint64_t downloaded, std::uint64_t total)>;
