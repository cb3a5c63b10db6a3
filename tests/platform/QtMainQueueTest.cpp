#include "platform/qt/QtMainQueue.h"

#include "support/QtApplication.h"

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using sonarill::platform::QtMainQueue;
using sonarill::platform::Timer;

namespace {

class QtMainQueueTest : public ::testing::Test {
protected:
    void SetUp() override { sonarill::testing::qtApplication(); }
};

TEST_F(QtMainQueueTest, PostsFromAnyThreadRunOnTheMainThreadInPostingOrder) {
    QtMainQueue queue;
    const std::thread::id mainThread = std::this_thread::get_id();
    std::map<int, std::vector<int>> ranBySender;
    int offMainThread = 0;
    std::vector<std::thread> senders;
    for (int sender = 0; sender < 4; ++sender) {
        senders.emplace_back([&, sender] {
            for (int i = 0; i < 200; ++i)
                queue.post([&, sender, i] {
                    if (std::this_thread::get_id() != mainThread)
                        ++offMainThread;
                    ranBySender[sender].push_back(i);
                });
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    EXPECT_TRUE(ranBySender.empty()) << "posted work runs only when the event loop turns";
    EXPECT_TRUE(QTest::qWaitFor([&] {
        size_t total = 0;
        for (const auto& [sender, ran] : ranBySender)
            total += ran.size();
        return total == 800;
    }));
    EXPECT_EQ(offMainThread, 0);
    for (const auto& [sender, ran] : ranBySender) {
        EXPECT_EQ(ran.size(), 200u);
        EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end())) << "sender " << sender;
    }
}

TEST_F(QtMainQueueTest, OneShotRunsOnceAndNoSoonerThanAsked) {
    QtMainQueue queue;
    int runs = 0;
    std::chrono::steady_clock::duration waited{};
    const auto start = std::chrono::steady_clock::now();
    Timer timer = queue.scheduleAfter(40ms, [&] {
        ++runs;
        waited = std::chrono::steady_clock::now() - start;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs > 0; }));
    QTest::qWait(100);
    EXPECT_EQ(runs, 1);
    EXPECT_GE(waited, 40ms);
}

TEST_F(QtMainQueueTest, CancelledOrDestroyedTimersNeverRunAgain) {
    QtMainQueue queue;
    int oneShot = 0;
    int destroyed = 0;
    int fromOtherThread = 0;
    int selfCancelling = 0;
    Timer cancelledOneShot = queue.scheduleAfter(5ms, [&] { ++oneShot; });
    cancelledOneShot.cancel();
    {
        Timer gone = queue.scheduleRepeating(5ms, [&] { ++destroyed; });
    }
    Timer other = queue.scheduleRepeating(5ms, [&] { ++fromOtherThread; });
    std::thread([&] { other.cancel(); }).join();
    Timer self;
    self = queue.scheduleRepeating(5ms, [&] {
        if (++selfCancelling == 3)
            self.cancel();
    });
    QTest::qWait(150);
    EXPECT_EQ(oneShot, 0);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(fromOtherThread, 0);
    EXPECT_EQ(selfCancelling, 3);
}

TEST_F(QtMainQueueTest, RepeatingTimerThatFellBehindRunsOnce) {
    QtMainQueue queue;
    int ticks = 0;
    Timer timer = queue.scheduleRepeating(10ms, [&] { ++ticks; });
    std::this_thread::sleep_for(200ms); // the main thread is busy for twenty intervals
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 1);
}

TEST_F(QtMainQueueTest, TimerMayOutliveItsQueue) {
    int runs = 0;
    Timer timer;
    {
        QtMainQueue queue;
        timer = queue.scheduleAfter(1ms, [&] { ++runs; });
        queue.post([&] { ++runs; });
    }
    QTest::qWait(20);
    timer.cancel();
    EXPECT_EQ(runs, 0);
}

} // namespace
