#pragma once
// A call that may block for as long as another program likes (a network
// lookup, a question to the desktop shell), waited for only so long.

#include <windows.h>

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

template <typename Result> DWORD WINAPI Run(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Call<Result>>> owner(
        static_cast<std::shared_ptr<Call<Result>>*>(parameter));
    Call<Result>& call = **owner;
    call.result = call.work();
    SetEvent(call.done.get());
    return 0;
}

} // namespace bounded_call_detail

// Runs `work` on a thread of its own and waits for it at most `budgetMs`.
// True, with its result, when it ended in time. Otherwise it runs on alone
// and its result is dropped: `work` must own everything it uses (capture by
// value), as the caller may be gone by the time it ends.
template <typename Result>
bool CallWithin(DWORD budgetMs, std::function<Result()> work, Result& result) {
    using bounded_call_detail::Call;
    auto call = std::make_shared<Call<Result>>();
    call->work = std::move(work);
    call->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!call->done)
        return false;
    auto* parameter = new std::shared_ptr<Call<Result>>(call);
    const UniqueHandle thread(
        CreateThread(nullptr, 0, bounded_call_detail::Run<Result>, parameter, 0, nullptr));
    if (!thread) {
        delete parameter;
        return false;
    }
    if (WaitForSingleObject(call->done.get(), budgetMs) != WAIT_OBJECT_0)
        return false;
    result = std::move(call->result);
    return true;
}
