#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using sonarill::platform::NotificationCenter;
using Heard = std::vector<std::string>;

namespace {

TEST(NotificationCenter, APostReachesTheLiveObserversOfItsNameOnlyInOrderBeforeReturning) {
    NotificationCenter center;
    Heard heard;
    const auto hear = [&](const char* what) { return [&heard, what] { heard.push_back(what); }; };
    const auto first = center.observe("A", hear("A1"));
    const auto other = center.observe("B", hear("B"));
    auto removed = center.observe("A", hear("removed"));
    { const auto scoped = center.observe("A", hear("destroyed")); }
    auto replaced = center.observe("A", hear("replaced"));
    replaced = center.observe("A", hear("replacement"));
    removed.remove();
    removed.remove(); // twice is harmless
    center.post("A");
    EXPECT_EQ(heard, (Heard{"A1", "replacement"}));
    center.post("nobody");
    center.post("B");
    EXPECT_EQ(heard, (Heard{"A1", "replacement", "B"}));
}

TEST(NotificationCenter, CallbacksMayRemoveObserveAndPostAndObserversMayOutliveTheCentre) {
    Heard heard;
    std::optional<NotificationCenter::Observer> self, later, added, outliving;
    int depth = 0;
    {
        NotificationCenter center;
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
        EXPECT_EQ(heard, (Heard{"self", "remover"}));
        center.post("A");
        EXPECT_EQ(heard, (Heard{"self", "remover", "remover", "added"}));

        outliving = center.observe("again", [&] {
            heard.push_back("again");
            if (++depth < 3)
                center.post("again");
        });
        center.post("again");
    }
    EXPECT_EQ(heard, (Heard{"self", "remover", "remover", "added", "again", "again", "again"}));
    outliving.reset();
    added.reset();
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
