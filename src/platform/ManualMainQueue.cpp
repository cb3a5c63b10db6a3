#include "platform/ManualMainQueue.h"

#include <algorithm>

namespace sonarill::platform {

namespace {

// The next run of a repeating timer that was due at `due` and ran at `now`: the first point of
// its schedule after `now`, so missed ticks merge into the one just run.
MainQueue::Duration nextTick(MainQueue::Duration due, MainQueue::Duration interval,
                             MainQueue::Duration now) {
    return due + ((now - due) / interval + 1) * interval;
}

} // namespace

void ManualMainQueue::post(std::function<void()> work) {
    const std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
}

Timer ManualMainQueue::scheduleAfter(Duration delay, std::function<void()> work) {
    return schedule(std::max(delay, Duration::zero()), Duration::zero(), std::move(work));
}

Timer ManualMainQueue::scheduleRepeating(Duration interval, std::function<void()> work) {
    // A zero interval would be due again at once, for ever.
    const Duration atLeast = std::max<Duration>(
        interval, std::chrono::duration_cast<Duration>(std::chrono::milliseconds(1)));
    return schedule(atLeast, atLeast, std::move(work));
}

Timer ManualMainQueue::schedule(Duration delay, Duration interval, std::function<void()> work) {
    auto cancelled = newCancelFlag();
    const std::lock_guard lock(mutex_);
    timers_.emplace(
        Key{now_ + delay, nextSequence_++},
        Scheduled{interval, std::make_shared<std::function<void()>>(std::move(work)), cancelled});
    return Timer(std::move(cancelled));
}

std::size_t ManualMainQueue::runPending() {
    std::size_t count = 0;
    for (;;) {
        std::function<void()> work;
        {
            const std::lock_guard lock(mutex_);
            if (posted_.empty())
                return count;
            work = std::move(posted_.front());
            posted_.pop_front();
        }
        // Outside the lock: the work may post, schedule or cancel.
        work();
        ++count;
    }
}

bool ManualMainQueue::runOneDueTimer() {
    Scheduled timer;
    Duration due{};
    {
        const std::lock_guard lock(mutex_);
        for (;;) {
            if (timers_.empty() || timers_.begin()->first.first > now_)
                return false;
            auto node = timers_.extract(timers_.begin());
            if (node.mapped().cancelled->load())
                continue;
            due = node.key().first;
            timer = std::move(node.mapped());
            break;
        }
    }
    (*timer.work)();
    if (timer.interval == Duration::zero() || timer.cancelled->load())
        return true;
    const std::lock_guard lock(mutex_);
    timers_.emplace(Key{nextTick(due, timer.interval, now_), nextSequence_++}, std::move(timer));
    return true;
}

void ManualMainQueue::advance(Duration by) {
    {
        const std::lock_guard lock(mutex_);
        now_ += std::max(by, Duration::zero());
    }
    // Posted work first: it was ready before any timer fell due in this step.
    do
        runPending();
    while (runOneDueTimer());
}

MainQueue::Duration ManualMainQueue::now() const {
    const std::lock_guard lock(mutex_);
    return now_;
}

std::size_t ManualMainQueue::timerCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(timers_.begin(), timers_.end(),
                      [](const auto& entry) { return !entry.second.cancelled->load(); }));
}

} // namespace sonarill::platform
