#include "app/progress.h"

#include <cwchar>

ProgressCounters ProgressState;

int ProgressPercent(std::uint64_t downloaded, std::uint64_t total) {
    if (total == 0)
        return 0;
    return static_cast<int>(downloaded * 100 / total);
}

ProgressText FormatProgressText(int percent) {
    ProgressText text{};
    std::swprintf(text.data(), text.size(), L"下载进度：%d%%", percent);
    return text;
}

bool NeedsChineseFont(unsigned ansiCodePage) {
    constexpr unsigned kGbk = 936;
    return ansiCodePage != kGbk;
}
