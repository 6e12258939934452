// winhttp-read URL [RUNS] [--specified SAVE]
// The ceilings for scripts/bench-download: fetches an https URL on 127.0.0.1
// RUNS times (default 1) and prints per run the bytes, seconds and MB/s in
// download-tool's format.
// Without --specified: a bare WinHTTP read loop, a 1 MiB buffer and nothing
// written anywhere, the platform's own ceiling.
// With --specified: exactly the work a download must do and nothing of the
// installer's own code: the session and request options DownloadFile sets,
// 8192-byte reads, each block written with WriteFile to SAVE, opened as the
// save file is (new, write and delete access, shared for reading, marked for
// deletion until complete), and hashed with CNG's SHA-256; no progress call.

#include <windows.h>

#include <bcrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/file_by_handle.h"
#include "base/unique_handle.h"
#include "net/url.h"

namespace {

using InternetHandle = UniqueAny<HINTERNET, WinHttpCloseHandle>;

void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
}

// Where the specified work writes and hashes each block.
struct Sink {
    UniqueFileHandle file;
    UniqueAny<BCRYPT_ALG_HANDLE, CloseAlgorithm> algorithm;
    UniqueAny<BCRYPT_HASH_HANDLE, BCryptDestroyHash> hash;
};

bool OpenSink(const std::wstring& path, Sink& sink) {
    DeleteFileW(path.c_str());
    sink.file.reset(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!sink.file || !DeleteWhenClosed(sink.file.get(), true) ||
        !BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    sink.algorithm.reset(algorithm);
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return false;
    sink.hash.reset(hash);
    return true;
}

bool Take(Sink& sink, char* block, DWORD size) {
    DWORD written = 0;
    return WriteFile(sink.file.get(), block, size, &written, nullptr) && written == size &&
           BCRYPT_SUCCESS(
               BCryptHashData(sink.hash.get(), reinterpret_cast<PUCHAR>(block), size, 0));
}

bool CloseSink(Sink& sink) {
    unsigned char digest[32];
    return BCRYPT_SUCCESS(BCryptFinishHash(sink.hash.get(), digest, sizeof digest, 0)) &&
           DeleteWhenClosed(sink.file.get(), false) && CloseHandle(sink.file.release());
}

// The body's size, or -1 when the request failed. With a sink, the request
// is made and the body taken as DownloadFile does.
long long ReadAll(const ParsedUrl& url, std::vector<char>& buffer, Sink* sink) {
    InternetHandle session(WinHttpOpen(L"VelmorInstaller/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session && sink)
        WinHttpSetTimeouts(session.get(), 30000, 30000, 30000, 30000);
    InternetHandle connection(session ? WinHttpConnect(session.get(), url.host.c_str(),
                                                       static_cast<INTERNET_PORT>(url.port), 0)
                                      : nullptr);
    InternetHandle request(
        connection ? WinHttpOpenRequest(connection.get(), L"GET", url.path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        WINHTTP_FLAG_SECURE)
                   : nullptr);
    if (request && sink) {
        DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
    }
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
            return !sink || CloseSink(*sink) ? total : -1;
        if (sink && !Take(*sink, buffer.data(), read))
            return -1;
        total += read;
    }
}

} // namespace

int main(int argc, char** argv) {
    ParsedUrl url;
    if (argc < 2 || !ParseHttpsUrl(argv[1], url)) {
        std::fputs("usage: winhttp-read URL [RUNS] [--specified SAVE]\n", stderr);
        return 2;
    }
    int runs = 1;
    const char* save = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--specified") == 0 && i + 1 < argc)
            save = argv[++i];
        else
            runs = std::atoi(argv[i]);
    }
    std::vector<char> buffer(save ? 8192 : 1 << 20);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    bool allOk = true;
    for (int run = 1; run <= runs; ++run) {
        Sink sink;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const bool opened = !save || OpenSink(std::wstring(save, save + std::strlen(save)), sink);
        const long long bytes = opened ? ReadAll(url, buffer, save ? &sink : nullptr) : -1;
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
