#pragma once

#include "platform/MainQueue.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace sonarill::platform {

// A main queue driven by hand, on a virtual clock, for tests: nothing runs until the test calls
// runPending() or advance(), and then it runs on the calling thread, which is the main thread.
// Posting is safe from any thread.
class ManualMainQueue final : public MainQueue {
public:
    void post(std::function<void()> work) override;
    Timer scheduleAfter(Duration delay, std::function<void()> work) override;
    Timer scheduleRepeating(Duration interval, std::function<void()> work) override;

    // Runs posted work, including work the work posts, until none is left; the number run.
    std::size_t runPending();

    // Moves the clock forward by `by` in one step, as a queue that was busy that long, then runs
    // posted work and every timer due by then, in the order they fell due, until nothing is due.
    // A repeating timer that missed several ticks runs once.
    void advance(Duration by);

    // Time since the queue was made.
    Duration now() const;
    // Timers scheduled and not yet finished or seen cancelled.
    std::size_t timerCount() const;

private:
    struct Scheduled {
        Duration interval{}; // zero for a one-shot
        std::shared_ptr<std::function<void()>> work;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    // Ordered by when due, then by when scheduled, so timers due together run in that order.
    using Key = std::pair<Duration, std::uint64_t>;

    Timer schedule(Duration due, Duration interval, std::function<void()> work);
    bool runOneDueTimer();

    mutable std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
    std::map<Key, Scheduled> timers_;
    std::uint64_t nextSequence_ = 0;
    Duration now_{};
};

} // namespace sonarill::platform
