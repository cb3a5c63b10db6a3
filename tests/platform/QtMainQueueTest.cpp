// The application's main queue on Qt's event loop.
#include "platform/qt/QtMainQueue.h"

#include "support/QtApplication.h"

#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using sonarill::platform::QtMainQueue;
using sonarill::platform::Timer;

namespace {

TEST(QtMainQueue, PostsFromAnyThreadRunOnTheMainThreadInPostingOrder) {
    sonarill::testing::qtApplication();
    QtMainQueue queue;
    const std::thread::id mainThread = std::this_thread::get_id();
    std::map<int, std::vector<int>> ranBySender;
    int offMainThread = 0, total = 0;
    std::vector<std::thread> senders;
    for (int sender = 0; sender < 4; ++sender)
        senders.emplace_back([&, sender] {
            for (int i = 0; i < 200; ++i)
                queue.post([&, sender, i] {
                    offMainThread += std::this_thread::get_id() != mainThread;
                    ranBySender[sender].push_back(i);
                    ++total;
                });
        });
    for (std::thread& sender : senders)
        sender.join();
    EXPECT_EQ(total, 0) << "posted work runs only when the event loop turns";
    EXPECT_TRUE(QTest::qWaitFor([&] { return total == 800; }));
    EXPECT_EQ(offMainThread, 0);
    for (const auto& [sender, ran] : ranBySender) {
        EXPECT_EQ(ran.size(), 200u);
        EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end())) << "sender " << sender;
    }
}

// A timer's handle is the manual queue's too: its destruction and replacement are tested there.
TEST(QtMainQueue, TimersRunNoSoonerThanAskedAndNeverOnceCancelledOrGone) {
    sonarill::testing::qtApplication();
    std::map<std::string, int> runs;
    const auto count = [&](const std::string& timer) { return [&runs, timer] { ++runs[timer]; }; };
    std::optional<QtMainQueue> queue(std::in_place);
    std::chrono::steady_clock::duration waited{};
    const auto start = std::chrono::steady_clock::now();
    const Timer oneShot = queue->scheduleAfter(40ms, [&] {
        ++runs["one-shot"];
        waited = std::chrono::steady_clock::now() - start;
    });
    Timer cancelled = queue->scheduleAfter(5ms, count("cancelled"));
    cancelled.cancel();
    Timer self;
    self = queue->scheduleRepeating(5ms, [&] {
        if (++runs["cancels itself on the third run"] == 3)
            self.cancel();
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs["one-shot"] > 0; }));
    QTest::qWait(100);
    EXPECT_GE(waited, 40ms);
    EXPECT_EQ(runs, (std::map<std::string, int>{{"one-shot", 1},
                                                {"cancels itself on the third run", 3}}));

    runs.clear();
    const Timer behind = queue->scheduleRepeating(10ms, count("fell behind"));
    std::this_thread::sleep_for(200ms); // the main thread is busy for twenty intervals
    QCoreApplication::processEvents();
    EXPECT_EQ(runs["fell behind"], 1);

    const Timer outliving = queue->scheduleAfter(1ms, count("outlives its queue"));
    queue->post(count("posted before the queue went"));
    queue.reset();
    QTest::qWait(20);
    EXPECT_EQ(runs.count("outlives its queue") + runs.count("posted before the queue went"), 0u);
}

} // namespace
