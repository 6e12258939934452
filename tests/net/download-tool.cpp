// download-tool URL SAVE [RUNS] [--progress] [--digest]
// Calls DownloadFile RUNS times (default 1) and prints, per run, the result,
// bytes, seconds and MB/s; at the end the process's peak working set.
// --progress passes a callback that only counts; otherwise it is empty.
// --digest has the body hashed as it streams, as the installer has it.

#include <windows.h>

#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/download.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: download-tool URL SAVE [RUNS] [--progress] [--digest]\n", stderr);
        return 2;
    }
    int runs = 1;
    bool counting = false;
    bool hashing = false;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--progress") == 0)
            counting = true;
        else if (std::strcmp(argv[i], "--digest") == 0)
            hashing = true;
        else
            runs = std::atoi(argv[i]);
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    bool allOk = true;
    for (int run = 1; run <= runs; ++run) {
        std::uint64_t calls = 0, last = 0;
        ProgressCallback progress;
        if (counting)
            progress = [&](std::uint64_t downloaded, std::uint64_t) {
                ++calls;
                last = downloaded;
            };
        std::string error;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        Sha256Digest digest{};
        bool ok = DownloadFile(argv[1], argv[2], error, progress, hashing ? &digest : nullptr);
        QueryPerformanceCounter(&end);
        double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        WIN32_FILE_ATTRIBUTE_DATA info{};
        std::uint64_t bytes = 0;
        if (GetFileAttributesExA(argv[2], GetFileExInfoStandard, &info))
            bytes = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        std::printf(
            "run=%d ok=%d error=%s bytes=%llu seconds=%.3f mbps=%.1f calls=%llu last=%llu\n", run,
            ok ? 1 : 0, ok ? "" : error.c_str(), static_cast<unsigned long long>(bytes), seconds,
            seconds > 0 ? double(bytes) / 1e6 / seconds : 0.0,
            static_cast<unsigned long long>(calls), static_cast<unsigned long long>(last));
        std::fflush(stdout);
        allOk = allOk && ok;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("peak_working_set=%llu\n",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    return allOk ? 0 : 1;
}
