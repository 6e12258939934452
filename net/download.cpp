#include "net/download.h"

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "net/response.h"
#include "net/save_file.h"
#include "net/url.h"

namespace {

constexpr std::size_t kBlockSize = 8192;
// The first wait before asking again; each wait is twice the one before.
constexpr DWORD kFirstResumeWaitMs = 1000;

// What one download call carries from attempt to attempt.
struct Transfer {
    ParsedUrl url;
    ProxyRoute route;
    TlsOffer tls = TlsOffer::PlatformDefault;
    std::string savePath;
    ProgressCallback progress;
    SaveFile save;
    BodyFacts body;
    bool hostAnswered = false;
};

AttemptEnd Fail(std::string& error, const char* message, AttemptEnd end = AttemptEnd::Failed) {
    error = message;
    return end;
}

// The URL as the proxy lookup takes it.
std::wstring UrlText(const ParsedUrl& url) {
    return L"https://" + url.host + (url.port == 443 ? L"" : L":" + std::to_wstring(url.port)) +
           url.path;
}

// The range from what the file holds, valid only while the body is the one
// begun (If-Range), else the host sends all of it anew. Added, not replaced,
// as the request is new: a buffer that replaces may hold one header only.
// One a call all the same, so that no reading of that rule can drop one.
bool AddResumeHeaders(HINTERNET request, const Transfer& transfer) {
    const std::wstring headers[] = {L"Range: bytes=" + std::to_wstring(transfer.save.written) +
                                        L"-",
                                    L"If-Range: " + transfer.body.validator};
    for (const std::wstring& header : headers) {
        if (!WinHttpAddRequestHeaders(request, header.c_str(), static_cast<DWORD>(header.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD))
            return false;
    }
    return true;
}

// What the host's answer means for the save file: the first 200 creates it,
// a 206 to a request for the rest continues it, a later 200 starts it over.
// True when its body is to be saved; else `end` says how the attempt ended.
bool BodyFollows(HINTERNET request, DWORD status, bool rest, Transfer& transfer, std::string& error,
                 std::string& redirectTarget, AttemptEnd& end) {
    SaveFile& save = transfer.save;
    if (!save.file && IsRedirect(status) && LocationOf(request, redirectTarget)) {
        end = AttemptEnd::Redirected;
        return false;
    }
    if (status == 200) {
        transfer.body = BodyFactsOf(request);
        if (save.file ? StartSaveOver(save) : CreateSaveFile(transfer.savePath, save))
            return true;
        end = Fail(error, save.file ? "failed to write save file" : "failed to create save file",
                   AttemptEnd::Final);
        return false;
    }
    if (save.file && status == 206 && rest) {
        if (RangeContinues(HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE), save.written,
                           transfer.body.total))
            return true;
        end = Fail(error, "resumed range not as asked", AttemptEnd::RangeNotContinued);
        return false;
    }
    // Asking again helps when the host is busy (5xx), not when it refuses
    // (4xx, a redirect where the body was).
    error = "HTTP status not OK: " + std::to_string(status);
    end = !save.file || (status >= 500 && status < 600) ? AttemptEnd::Failed : AttemptEnd::Final;
    return false;
}

// Streams a body into the save file, after what it holds. Done only when the
// whole body is written, hashed and the file closed.
AttemptEnd SaveBody(HINTERNET request, Transfer& transfer, Sha256Digest& digest,
                    std::string& error) {
    std::array<char, kBlockSize> block;
    bool arrived = false;
    bool broken = false;
    for (;;) {
        DWORD read = 0;
        broken = !WinHttpReadData(request, block.data(), static_cast<DWORD>(block.size()), &read);
        if (broken || read == 0)
            break;
        if (!WriteBlock(transfer.save, block.data(), read))
            return Fail(error, "failed to write save file", AttemptEnd::Final);
        arrived = true;
        if (transfer.progress)
            transfer.progress(transfer.save.written, transfer.body.total);
    }
    // An announced body is whole when all of it is written, even if the
    // connection broke right after; one without a length must end cleanly.
    const bool whole =
        transfer.body.announced ? transfer.save.written == transfer.body.total : !broken;
    if (!whole)
        return Fail(error, "download incomplete",
                    arrived ? AttemptEnd::BrokenOff : AttemptEnd::Failed);
    return FinishSaveFile(transfer.save, digest, error) ? AttemptEnd::Done : AttemptEnd::Final;
}

// One request, on a session of its own. Once the save file exists, it asks
// for the rest of the body where the host can resume it.
AttemptEnd Attempt(Transfer& transfer, Sha256Digest& digest, std::string& error,
                   std::string& redirectTarget) {
    RouteRequest opened;
    if (!OpenRequest(transfer.url, transfer.route, transfer.tls, opened, error))
        return AttemptEnd::Failed;
    const HINTERNET request = opened.request.get();
    // Added to the request once, so that a second round sends them once.
    const bool rest = transfer.save.file && transfer.body.resumable;
    if (rest && !AddResumeHeaders(request, transfer))
        return Fail(error, "WinHttpAddRequestHeaders failed");
    DWORD status = 0;
    switch (Exchange(request, transfer.route, status, error)) {
    case Reply::NotReached:
        return AttemptEnd::NotReached;
    case Reply::Failed:
        return AttemptEnd::Failed;
    case Reply::Host:
        break;
    }
    transfer.hostAnswered = true;
    AttemptEnd end = AttemptEnd::Failed;
    if (!BodyFollows(request, status, rest, transfer, error, redirectTarget, end))
        return end;
    return SaveBody(request, transfer, digest, error);
}

} // namespace

NextStep NextStepAfter(const AfterAttempt& state) {
    const bool againAfterWait = state.resumptions < kMaxResumptions;
    switch (state.end) {
    case AttemptEnd::Done:
        return NextStep::Finish;
    case AttemptEnd::Redirected:
        return state.redirects < kMaxRedirects ? NextStep::FollowRedirect : NextStep::GiveUp;
    case AttemptEnd::NotReached:
        // Before the host answered on this route: a proxy is down (left from
        // another network, say) or will not tunnel, or the default route
        // cannot reach the host, where a late auto-detection may name the
        // proxy that leads out.
        if (!state.hostAnswered) {
            if (state.left != RouteLeft::Nothing)
                return NextStep::FailOver;
            if (state.detection == LateDetection::Running)
                return NextStep::WaitForDetection;
            return state.detection == LateDetection::NamedProxy ? NextStep::TryDetectedProxy
                                                                : NextStep::GiveUp;
        }
        [[fallthrough]];
    case AttemptEnd::Failed:
        // A line that drops mid-body costs a wait, not the download; a
        // failure before any body byte (no network, a refusal, a bad status)
        // ends it at once.
        return state.bodyArrived && againAfterWait ? NextStep::ResumeAfterWait : NextStep::GiveUp;
    case AttemptEnd::RangeNotContinued:
        // The same range again would get the same answer.
        return againAfterWait ? NextStep::WholeBodyAfterWait : NextStep::GiveUp;
    case AttemptEnd::BrokenOff:
        return againAfterWait ? NextStep::ResumeAfterWait : NextStep::GiveUp;
    case AttemptEnd::Final:
        break;
    }
    return NextStep::GiveUp;
}

bool DownloadFile(const std::string& url, const std::string& savePath, std::string& error,
                  ProgressCallback progress, Sha256Digest* bodyDigest, TlsOffer tls,
                  FileId* savedFile, const HeldFolder* folder) {
    // Wine workaround: crypt32 and bcrypt are loaded before WinHTTP is first
    // used (by the proxy lookup below). Wine's WinHTTP brings in crypt32,
    // which imports bcrypt, and Wine looks for a DLL that is not loaded yet
    // beside the program too; loaded from System32 first (delay-loaded,
    // through the hook), each is simply reused. Each is named by a call that
    // does nothing, so that bcrypt does not rest on crypt32's import table.
    CertFreeCertificateContext(nullptr);
    BCryptCloseAlgorithmProvider(nullptr, 0);
    std::string current = url;
    Transfer transfer; // closed on every way out; while incomplete, closing removes it
    if (!ParseHttpsUrl(current, transfer.url)) {
        error = "URL parse failed";
        return false;
    }
    transfer.tls = tls;
    transfer.savePath = savePath;
    transfer.progress = std::move(progress);
    transfer.save.folder = folder;
    transfer.save.hashing = bodyDigest != nullptr;
    UserProxy found = UserProxyFor(UrlText(transfer.url), transfer.url.host);
    transfer.route = RouteThrough(found.proxies, found.source, true);
    // The digest goes into the caller's buffer as the file is finished.
    Sha256Digest unused{};
    Sha256Digest& digest = bodyDigest ? *bodyDigest : unused;
    AfterAttempt state;
    for (;;) {
        std::string target;
        state.end = Attempt(transfer, digest, error, target);
        state.bodyArrived = state.bodyArrived || state.end == AttemptEnd::BrokenOff;
        state.hostAnswered = transfer.hostAnswered;
        state.left = LeftOn(transfer.route);
        std::vector<std::wstring> detected;
        // A late auto-detection is asked only where nothing else is left.
        const auto decide = [&] {
            const bool lastResort = state.end == AttemptEnd::NotReached && !state.hostAnswered &&
                                    state.left == RouteLeft::Nothing;
            state.detection = lastResort ? DetectionNow(found, detected) : LateDetection::None;
            return NextStepAfter(state);
        };
        NextStep next = decide();
        for (; next == NextStep::WaitForDetection; next = decide())
            WaitForDetection(found);
        switch (next) {
        case NextStep::Finish:
            if (savedFile)
                *savedFile = transfer.save.id;
            return true;
        case NextStep::FollowRedirect:
            current = ResolveReference(current, target);
            ++state.redirects;
            if (ParseHttpsUrl(current, transfer.url))
                break;
            error = "URL parse failed";
            return false;
        case NextStep::FailOver:
            FailOver(transfer.route);
            break;
        case NextStep::TryDetectedProxy: // once, never with the user's logon
            found.late.reset();
            transfer.route = RouteThrough(std::move(detected), ProxySource::AutoDetection, false);
            break;
        case NextStep::WholeBodyAfterWait:
            transfer.body.resumable = false;
            [[fallthrough]];
        case NextStep::ResumeAfterWait:
            Sleep(kFirstResumeWaitMs << state.resumptions++);
            break;
        case NextStep::WaitForDetection:
        case NextStep::GiveUp:
            if (state.end == AttemptEnd::Redirected)
                error = "Too many redirects";
            return false;
        }
    }
}
