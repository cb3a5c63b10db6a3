#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using sonarill::platform::NotificationCenter;

namespace {

TEST(NotificationCenter, APostReachesEveryObserverOfItsNameOnlyInOrderBeforeReturning) {
    NotificationCenter center;
    std::vector<std::string> heard;
    const auto first = center.observe("A", [&] { heard.push_back("A1"); });
    const auto other = center.observe("B", [&] { heard.push_back("B"); });
    const auto second = center.observe("A", [&] { heard.push_back("A2"); });
    center.post("A");
    EXPECT_EQ(heard, (std::vector<std::string>{"A1", "A2"}));
    center.post("nobody");
    center.post("B");
    EXPECT_EQ(heard, (std::vector<std::string>{"A1", "A2", "B"}));
}

TEST(NotificationCenter, RemovedAndDestroyedObserversHearNothingMore) {
    NotificationCenter center;
    int heard = 0;
    auto removed = center.observe("A", [&] { heard += 1; });
    {
        const auto scoped = center.observe("A", [&] { heard += 10; });
    }
    auto replaced = center.observe("A", [&] { heard += 100; });
    replaced = center.observe("A", [&] { heard += 1000; });
    removed.remove();
    removed.remove();
    center.post("A");
    EXPECT_EQ(heard, 1000);
}

TEST(NotificationCenter, ObserversMayRemoveThemselvesOrOthersAndObserveFromCallbacks) {
    NotificationCenter center;
    std::vector<std::string> heard;
    std::optional<NotificationCenter::Observer> self, later, added;
    self = center.observe("A", [&] {
        heard.push_back("self");
        self.reset(); // destroys the observer whose callback is running
    });
    const auto remover = center.observe("A", [&] {
        heard.push_back("remover");
        later->remove(); // taken by this post already, yet not called
        if (!added)
            added = center.observe("A", [&] { heard.push_back("added"); });
    });
    later = center.observe("A", [&] { heard.push_back("later"); });
    center.post("A");
    EXPECT_EQ(heard, (std::vector<std::string>{"self", "remover"}));
    center.post("A");
    EXPECT_EQ(heard, (std::vector<std::string>{"self", "remover", "remover", "added"}));
}

TEST(NotificationCenter, ACallbackMayPostAgainAndObserversMayOutliveTheCentre) {
    std::optional<NotificationCenter::Observer> outliving;
    int depth = 0, heard = 0;
    {
        NotificationCenter center;
        outliving = center.observe("A", [&] {
            ++heard;
            if (++depth < 3)
                center.post("A");
        });
        center.post("A");
    }
    EXPECT_EQ(heard, 3);
    outliving.reset();
}

TEST(NotificationCenter, TheDefaultCentreIsOneForTheProcessAndKnowsTheResetName) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    EXPECT_EQ(sonarill::platform::kResetConfigNotification, "SonarillResetConfig");
    int heard = 0;
    const auto observer = NotificationCenter::defaultCenter().observe(
        std::string(sonarill::platform::kResetConfigNotification), [&] { ++heard; });
    NotificationCenter::defaultCenter().post("SonarillResetConfig");
    EXPECT_EQ(heard, 1);
}

// After remove() returns, the callback's state may go: a post on another thread must not be
// running it then. AddressSanitizer (a use after free) and ThreadSanitizer (a race) tell.
TEST(NotificationCenter, ObservingAndRemovingWhilePostingOnAnotherThreadIsSafe) {
    NotificationCenter center;
    std::atomic<bool> done{false};
    std::atomic<long> posts{0};
    std::thread poster([&] {
        while (!done.load()) {
            center.post("A");
            ++posts;
        }
    });
    for (int round = 0; round < 2000; ++round) {
        auto alive = std::make_unique<int>(0);
        auto observer = center.observe("A", [value = alive.get()] { ++*value; });
        if (round % 2)
            std::this_thread::yield();
        observer.remove();
        alive.reset(); // the callback would now touch freed memory
    }
    while (posts.load() < 100)
        std::this_thread::yield();
    done = true;
    poster.join();
}

} // namespace
