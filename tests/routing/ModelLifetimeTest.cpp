// The routing model's life around its users: observers of its lists, and what its teardown stops.
// What it does with devices, applications and files is in the scenario tables (tests/scenarios).

#include "support/ModelOnManualClock.h"

#include <gmock/gmock.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using ::testing::ElementsAre;

using Model = ModelTest;

TEST_F(Model, ObserversRunBeforeEachChangeAndCannotChangeTheModel) {
    start();
    std::vector<float> seen;
    auto observation = model->observeWillChange([&] {
        seen.push_back(app(kMusic)->volume);
        model->setVolume(kMusic, 0.0f); // ignored: a change inside an observer
    });
    model->setVolume(kMusic, 0.6f);
    model->setVolume(kMusic, 0.2f);
    EXPECT_THAT(seen, ElementsAre(1.0f, 0.6f));
    EXPECT_EQ(app(kMusic)->volume, 0.2f);
    observation.cancel();
    model->setVolume(kMusic, 0.9f);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Model, TeardownStopsTheTimerTheListenerAndTheResetObserver) {
    start();
    EXPECT_EQ(queue.timerCount(), 1u);
    std::weak_ptr<routing::AudioRoutingViewModel> weak = model;
    model.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(queue.timerCount(), 0u);
    LogCapture log;
    ASSERT_TRUE(sim::addDevice({.uid = "Late:1", .name = "Late", .outputChannels = 2}));
    notifications.post(platform::kResetConfigNotification);
    settle();
    queue.advance(std::chrono::seconds(10));
    EXPECT_TRUE(log.messages().empty());
}

} // namespace
