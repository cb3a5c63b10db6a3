#include "platform/ManualMainQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using sonarill::platform::ManualMainQueue;
using sonarill::platform::Timer;

namespace {

TEST(ManualMainQueue, PostsRunInOrderOnlyWhenDrainedIncludingWorkTheyPost) {
    ManualMainQueue queue;
    std::vector<std::string> ran;
    queue.post([&] {
        ran.push_back("a");
        queue.post([&] { ran.push_back("c"); });
    });
    queue.post([&] { ran.push_back("b"); });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(queue.runPending(), 3u);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(queue.runPending(), 0u);
}

TEST(ManualMainQueue, TimersRunInTheOrderTheyFellDueAfterPostedWork) {
    ManualMainQueue queue;
    std::vector<std::string> ran;
    const Timer late = queue.scheduleAfter(30ms, [&] { ran.push_back("30"); });
    const Timer early = queue.scheduleAfter(10ms, [&] {
        ran.push_back("10");
        queue.post([&] { ran.push_back("posted by 10"); });
    });
    const Timer tieFirst = queue.scheduleAfter(20ms, [&] { ran.push_back("20a"); });
    const Timer tieSecond = queue.scheduleAfter(20ms, [&] { ran.push_back("20b"); });
    queue.post([&] { ran.push_back("posted"); });

    queue.advance(9ms);
    EXPECT_EQ(ran, std::vector<std::string>{"posted"});
    queue.advance(100ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"posted", "10", "posted by 10", "20a", "20b", "30"}));
    EXPECT_EQ(queue.timerCount(), 0u);
}

TEST(ManualMainQueue, OneShotsRunOnceAndRepeatingTimersUntilCancelled) {
    ManualMainQueue queue;
    int once = 0, repeated = 0;
    const Timer oneShot = queue.scheduleAfter(10ms, [&] { ++once; });
    Timer repeating = queue.scheduleRepeating(10ms, [&] { ++repeated; });
    for (int step = 0; step < 5; ++step)
        queue.advance(10ms);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeated, 5);
    repeating.cancel();
    queue.advance(50ms);
    EXPECT_EQ(repeated, 5);
    EXPECT_EQ(queue.timerCount(), 0u);
}

TEST(ManualMainQueue, DestroyingOrReplacingATimerCancelsIt) {
    ManualMainQueue queue;
    int fired = 0;
    {
        const Timer scoped = queue.scheduleAfter(1ms, [&] { ++fired; });
    }
    Timer replaced = queue.scheduleRepeating(1ms, [&] { fired += 10; });
    replaced = queue.scheduleAfter(1ms, [&] { fired += 100; });
    queue.advance(5ms);
    EXPECT_EQ(fired, 100);
}

TEST(ManualMainQueue, ATimerCancelledFromItsOwnOrAnotherCallbackStops) {
    ManualMainQueue queue;
    int own = 0, other = 0;
    std::optional<Timer> ownTimer, otherTimer;
    ownTimer = queue.scheduleRepeating(10ms, [&] {
        if (++own == 2)
            ownTimer.reset(); // destroys the timer whose callback is running
    });
    // Due at the same moment, after the first: cancelled before its turn comes.
    const Timer canceller = queue.scheduleAfter(10ms, [&] { otherTimer->cancel(); });
    otherTimer = queue.scheduleAfter(10ms, [&] { ++other; });
    for (int step = 0; step < 5; ++step)
        queue.advance(10ms);
    EXPECT_EQ(own, 2);
    EXPECT_EQ(other, 0);
}

TEST(ManualMainQueue, CancellingAfterTheQueueIsGoneIsHarmless) {
    Timer outlived;
    {
        ManualMainQueue queue;
        outlived = queue.scheduleRepeating(1ms, [] {});
    }
    outlived.cancel();
}

TEST(ManualMainQueue, MissedTicksMergeAndTheScheduleKeepsItsPhase) {
    ManualMainQueue queue;
    std::vector<long long> firedAt;
    const Timer timer = queue.scheduleRepeating(10ms, [&] {
        firedAt.push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(queue.now()).count());
    });
    queue.advance(35ms); // late by three ticks (10, 20, 30): one run
    EXPECT_EQ(firedAt, std::vector<long long>{35});
    queue.advance(4ms); // 39: the next tick is 40, not 45
    EXPECT_EQ(firedAt.size(), 1u);
    queue.advance(1ms);
    queue.advance(10ms);
    EXPECT_EQ(firedAt, (std::vector<long long>{35, 40, 50}));
}

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
    // Drains while the others still post.
    while (ran < counts.size())
        ran += queue.runPending();
    for (auto& poster : posters)
        poster.join();
    EXPECT_EQ(ran, counts.size());
    EXPECT_FALSE(elsewhere);
    EXPECT_EQ(std::count(counts.begin(), counts.end(), 1), static_cast<long>(counts.size()));
}

} // namespace
