#pragma once
// Download progress as the worker reports it and the window shows it. Pure
// logic: no Windows headers, so it can be tested and reused anywhere.

#include <array>
#include <atomic>
#include <cstdint>

#include "net/progress_callback.h"

// Two independent counters: one writer (the worker), one reader (the paint
// handler). Each is read and written whole; they are never paired under a lock.
struct ProgressCounters {
    std::atomic<std::uint64_t> downloaded{0};
    std::atomic<std::uint64_t> total{0};
};
extern ProgressCounters ProgressState;

// Whole percentage, rounded down, not clamped to 100; 0 while the total is unknown.
int ProgressPercent(std::uint64_t downloaded, std::uint64_t total);

// "下载进度：N%" in a fixed buffer, so painting allocates nothing.
using ProgressText = std::array<wchar_t, 64>;
ProgressText FormatProgressText(int percent);

// Whether the progress text needs a font of its own on a system whose ANSI
// code page is `ansiCodePage`. The system font, with which the text is drawn
// otherwise, is a raster font for that code page with no font linking: only
// GBK (936) holds all of "下载进度". Big5 (950) lacks the simplified 载 and 进,
// and the other pages lack more.
bool NeedsChineseFont(unsigned ansiCodePage);
