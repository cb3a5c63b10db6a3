// The manual main queue that every model test runs on: its order and its timers' lives must be
// the real queue's, or those tests prove a schedule the application never keeps.
#include "platform/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using sonarill::platform::ManualMainQueue;
using sonarill::platform::Timer;
using Journal = std::vector<std::string>;

namespace {

TEST(ManualMainQueue, RunsPostedWorkFirstThenTimersInTheOrderTheyFellDue) {
    ManualMainQueue queue;
    Journal ran;
    const auto note = [&](const std::string& what) {
        return
            [&ran, &queue, what] { ran.push_back(what + "@" + std::to_string(queue.now() / 1ms)); };
    };
    queue.post([&] {
        note("a")();
        queue.post(note("posted by a")); // drained in the same run
    });
    queue.post(note("b"));
    EXPECT_TRUE(ran.empty()) << "nothing runs until the queue is drained";
    EXPECT_EQ(queue.runPending(), 3u);
    EXPECT_EQ(queue.runPending(), 0u);

    const Timer late = queue.scheduleAfter(30ms, note("30"));
    const Timer early = queue.scheduleAfter(10ms, [&] {
        note("10")();
        queue.post(note("posted by 10"));
    });
    const Timer tieFirst = queue.scheduleAfter(20ms, note("20a"));
    const Timer tieSecond = queue.scheduleAfter(20ms, note("20b"));
    const Timer repeating = queue.scheduleRepeating(10ms, note("every 10"));
    queue.post(note("posted"));
    queue.advance(9ms);
    queue.advance(26ms); // late by three ticks of the repeating timer: it runs once
    queue.advance(4ms);  // 39: its next tick is 40, on its first schedule, not 45
    queue.advance(1ms);
    EXPECT_EQ(ran, (Journal{"a@0", "b@0", "posted by a@0", "posted@9", "10@35", "posted by 10@35",
                            "every 10@35", "20a@35", "20b@35", "30@35", "every 10@40"}));
    EXPECT_EQ(queue.timerCount(), 1u) << "only the repeating timer is left";
}

TEST(ManualMainQueue, ATimerStopsOnceDoneOrCancelledDestroyedOrReplacedEvenFromACallback) {
    ManualMainQueue queue;
    std::map<std::string, int> runs;
    const auto count = [&](const std::string& timer) { return [&runs, timer] { ++runs[timer]; }; };
    const Timer once = queue.scheduleAfter(10ms, count("one-shot"));
    Timer repeating = queue.scheduleRepeating(10ms, count("cancelled after five"));
    { const Timer scoped = queue.scheduleAfter(1ms, count("destroyed")); }
    Timer swapped = queue.scheduleRepeating(1ms, count("replaced"));
    swapped = queue.scheduleRepeating(10ms, count("replacement"));
    std::optional<Timer> ownTimer, otherTimer;
    ownTimer = queue.scheduleRepeating(10ms, [&] {
        if (++runs["destroys itself"] == 2)
            ownTimer.reset(); // destroys the timer whose callback is running
    });
    // Due at the same moment, after the canceller: cancelled before its turn comes.
    const Timer canceller = queue.scheduleAfter(10ms, [&] { otherTimer->cancel(); });
    otherTimer = queue.scheduleAfter(10ms, count("cancelled by another"));
    for (int step = 0; step < 5; ++step)
        queue.advance(10ms);
    repeating.cancel();
    queue.advance(50ms);
    // The replacement: five ticks, then one for the fifty missed ms.
    EXPECT_EQ(runs, (std::map<std::string, int>{{"one-shot", 1},
                                                {"cancelled after five", 5},
                                                {"replacement", 6},
                                                {"destroys itself", 2}}));
    EXPECT_EQ(queue.timerCount(), 1u);

    Timer outlived;
    {
        ManualMainQueue gone;
        outlived = gone.scheduleRepeating(1ms, [] {});
    }
    outlived.cancel(); // harmless after its queue went
}

// ThreadSanitizer watches this one: posting is the one thing other threads do.
TEST(ManualMainQueue, PostsFromManyThreadsAllRunOnceOnTheDrainingThread) {
    ManualMainQueue queue;
    constexpr int threads = 4, perThread = 500;
    std::vector<int> counts(threads * perThread, 0); // touched only by the draining thread
    const auto drainer = std::this_thread::get_id();
    bool elsewhere = false;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                queue.post([&, index = t * perThread + i] {
                    ++counts[static_cast<size_t>(index)];
                    elsewhere |= std::this_thread::get_id() != drainer;
                });
        });
    std::size_t ran = 0;
    while (ran < counts.size()) // drains while the others still post
        ran += queue.runPending();
    for (auto& poster : posters)
        poster.join();
    EXPECT_EQ(ran, counts.size());
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), static_cast<long>(counts.size()));
}

} // namespace
