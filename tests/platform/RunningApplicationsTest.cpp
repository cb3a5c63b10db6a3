// The simulated platform's list of running applications, which the routing model reads on every
// tick: each one's policy, in launch order.
#include "platform/RunningApplications.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

namespace sim = sonarill::sim;
using sonarill::platform::ActivationPolicy;
using Apps = std::vector<sonarill::platform::RunningApplication>;

namespace {

TEST(RunningApplications, ListsTheSimulatedApplicationsWithTheirPoliciesInLaunchOrder) {
    sim::World world;
    const sonarill::testing::ScopedSimWorld empty(world);
    EXPECT_TRUE(sonarill::platform::runningApplications().empty());

    world.apps = {{"com.apple.Music", "Music", sim::AppPolicy::regular},
                  {"com.example.Agent", "Agent", sim::AppPolicy::accessory},
                  {"com.example.Helper", "", sim::AppPolicy::prohibited}};
    ASSERT_TRUE(sim::resetWorld(world, sim::TimelineClock::realTime));
    EXPECT_EQ(sonarill::platform::runningApplications(),
              (Apps{{"com.apple.Music", "Music", ActivationPolicy::regular},
                    {"com.example.Agent", "Agent", ActivationPolicy::accessory},
                    {"com.example.Helper", "", ActivationPolicy::prohibited}}));
    // A launch joins the end, a quit leaves the others in their order.
    ASSERT_TRUE(sim::launchApp({"com.example.New", "New", sim::AppPolicy::regular}));
    ASSERT_TRUE(sim::quitApp("com.example.Agent"));
    EXPECT_EQ(sonarill::platform::runningApplications(),
              (Apps{{"com.apple.Music", "Music", ActivationPolicy::regular},
                    {"com.example.Helper", "", ActivationPolicy::prohibited},
                    {"com.example.New", "New", ActivationPolicy::regular}}));
}

} // namespace
