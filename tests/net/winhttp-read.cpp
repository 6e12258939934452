// winhttp-read URL [RUNS]
// The platform's ceiling for scripts/bench-download: fetches an https URL on
// 127.0.0.1 RUNS times (default 1) with a bare WinHTTP read loop, a 1 MiB
// buffer and nothing written anywhere, and prints per run the bytes, seconds
// and MB/s in download-tool's format.

#include <windows.h>

#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "net/url.h"

namespace {

using InternetHandle = UniqueAny<HINTERNET, WinHttpCloseHandle>;

// The body's size, or -1 when the request failed.
long long ReadAll(const ParsedUrl& url, std::vector<char>& buffer) {
    InternetHandle session(WinHttpOpen(L"VelmorInstaller/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    InternetHandle connection(session ? WinHttpConnect(session.get(), url.host.c_str(),
                                                       static_cast<INTERNET_PORT>(url.port), 0)
                                      : nullptr);
    InternetHandle request(
        connection ? WinHttpOpenRequest(connection.get(), L"GET", url.path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        WINHTTP_FLAG_SECURE)
                   : nullptr);
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return -1;
    long long total = 0;
    for (;;) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                             &read))
            return -1;
        if (read == 0)
            return total;
        total += read;
    }
}

} // namespace

int main(int argc, char** argv) {
    ParsedUrl url;
    if (argc < 2 || !ParseHttpsUrl(argv[1], url)) {
        std::fputs("usage: winhttp-read URL [RUNS]\n", stderr);
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1;
    std::vector<char> buffer(1 << 20);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    bool allOk = true;
    for (int run = 1; run <= runs; ++run) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const long long bytes = ReadAll(url, buffer);
        QueryPerformanceCounter(&end);
        const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        std::printf("run=%d ok=%d bytes=%lld seconds=%.3f mbps=%.1f\n", run, bytes >= 0 ? 1 : 0,
                    bytes < 0 ? 0 : bytes, seconds,
                    seconds > 0 && bytes > 0 ? double(bytes) / 1e6 / seconds : 0.0);
        std::fflush(stdout);
        allOk = allOk && bytes >= 0;
    }
    return allOk ? 0 : 1;
}
