#pragma once
// A call that may block for as long as another program likes (a network
// lookup, a question to the desktop shell), waited for only so long.

#include <windows.h>

#include <process.h>

#include <functional>
#include <memory>
#include <utility>

#include "base/unique_handle.h"

namespace bounded_call_detail {

template <typename Result> struct Call {
    std::function<Result()> work;
    Result result{};
    UniqueHandle done;
};

template <typename Result> unsigned __stdcall Run(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Call<Result>>> owner(
        static_cast<std::shared_ptr<Call<Result>>*>(parameter));
    Call<Result>& call = **owner;
    call.result = call.work();
    SetEvent(call.done.get());
    return 0;
}

} // namespace bounded_call_detail

// A call running on a thread of its own (StartCall); null when it could not
// be started.
template <typename Result> using PendingCall = std::shared_ptr<bounded_call_detail::Call<Result>>;

// Starts `work` on a thread of its own. It runs on, whoever waits for it:
// `work` must own everything it uses (capture by value) and touch no static
// object, as the caller may be gone, and the process ending, by the time it
// ends.
template <typename Result> PendingCall<Result> StartCall(std::function<Result()> work) {
    using bounded_call_detail::Call;
    auto call = std::make_shared<Call<Result>>();
    call->work = std::move(work);
    call->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!call->done)
        return nullptr;
    auto* parameter = new std::shared_ptr<Call<Result>>(call);
    const UniqueHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, bounded_call_detail::Run<Result>, parameter, 0, nullptr)));
    if (!thread) {
        delete parameter;
        return nullptr;
    }
    return call;
}

// Waits at most `budgetMs` for a started call, answering messages sent to
// the calling thread's windows meanwhile (a broadcast must not wait on us).
// True, with its result, when it has ended; it may be waited for again.
template <typename Result>
bool AwaitCall(const PendingCall<Result>& call, DWORD budgetMs, Result& result) {
    if (!call)
        return false;
    const HANDLE done = call->done.get();
    const ULONGLONG end = GetTickCount64() + budgetMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
        const DWORD woken = MsgWaitForMultipleObjects(1, &done, FALSE, left, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0)
            break;
        if (woken != WAIT_OBJECT_0 + 1)
            return false;
        // Delivers the sent messages only; posted ones stay queued.
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    result = call->result;
    return true;
}

// Runs `work` as StartCall does and waits for it at most `budgetMs`
// (AwaitCall); after that its result is dropped.
template <typename Result>
bool CallWithin(DWORD budgetMs, std::function<Result()> work, Result& result) {
    return AwaitCall(StartCall(std::move(work)), budgetMs, result);
}
