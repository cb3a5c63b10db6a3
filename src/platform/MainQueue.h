#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

// The one thread the routing model, the forwarder and the installer run on, and its timers.
// Other threads never touch the model: they post work here.
namespace sonarill::platform {

// A scheduled timer; destroying or cancelling it stops it. Cancelling is safe from any thread,
// from inside the timer's own callback, after a one-shot has fired and after its queue is gone:
// the timer and its queue share only a flag, which the queue checks before every firing.
class [[nodiscard]] Timer {
public:
    Timer() = default;
    // For queue implementations: the flag the queue checks before each firing.
    explicit Timer(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}
    Timer(Timer&&) noexcept = default;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { cancel(); }

    void cancel();

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

class MainQueue {
public:
    using Duration = std::chrono::steady_clock::duration;

    virtual ~MainQueue() = default;

    // Runs `work` on the main thread soon, after work posted before it. Safe from any thread.
    virtual void post(std::function<void()> work) = 0;

    // Main thread only. Runs `work` once, no sooner than `delay` from now.
    virtual Timer scheduleAfter(Duration delay, std::function<void()> work) = 0;
    // Main thread only. Runs `work` every `interval` (at least 1 ms) until cancelled. A queue
    // that falls behind by several intervals runs it once, then keeps to the original schedule:
    // a burst of stale ticks would only repeat the same work.
    virtual Timer scheduleRepeating(Duration interval, std::function<void()> work) = 0;

protected:
    // The flag a new timer and the queue share.
    static std::shared_ptr<std::atomic<bool>> newCancelFlag() {
        return std::make_shared<std::atomic<bool>>(false);
    }
};

} // namespace sonarill::platform
