#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

// Audio-system queries that the main thread waits for only so long: an audio server that does
// not answer must not hang launch or quit.
namespace sonarill::app {

// What a waiting caller and its worker share. Everything the worker touches lives here, so a
// worker that finishes after the caller gave up writes into memory it still owns.
template <typename T> struct CoreAudioTimeoutBox {
    std::mutex lock;
    std::condition_variable finished;
    std::optional<T> storedValue;
    bool isFinished = false;
};

// The wait for a time-out in seconds: at least 1 ms, so that 0 still gives the worker a chance,
// and at most a day, so that no clock arithmetic overflows.
inline std::chrono::milliseconds boundedQueryWait(double timeoutSeconds) {
    const double milliseconds = timeoutSeconds * 1000.0;
    if (!(milliseconds >= 1.0)) // NaN too
        return std::chrono::milliseconds(1);
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(std::min(milliseconds, 86'400'000.0)));
}

// Runs `operation` (returning std::optional<T>) on a thread of its own and waits for it at most
// `timeoutSeconds`. Empty on time-out or when the operation gave nothing. A worker that is late
// is not cancelled: it finishes on its own and its answer is dropped.
template <typename Operation>
std::invoke_result_t<Operation> coreAudioValue(double timeoutSeconds, Operation operation) {
    using Result = std::invoke_result_t<Operation>;
    using Box = CoreAudioTimeoutBox<typename Result::value_type>;
    const auto box = std::make_shared<Box>();
    try {
        std::thread([box, operation = std::move(operation)]() mutable {
            Result result = operation();
            std::lock_guard guard(box->lock);
            box->storedValue = std::move(result);
            box->isFinished = true;
            box->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt; // no thread to ask with: as if the server did not answer
    }
    std::unique_lock guard(box->lock);
    if (!box->finished.wait_for(guard, boundedQueryWait(timeoutSeconds),
                                [&box] { return box->isFinished; }))
        return std::nullopt;
    return box->storedValue;
}

} // namespace sonarill::app
