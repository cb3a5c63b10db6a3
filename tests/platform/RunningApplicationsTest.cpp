// The simulated platform's list of running applications, which the routing model reads on every
// tick: each one's policy, in launch order.
#include "platform/RunningApplications.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

namespace sim = sonarill::sim;
using sonarill::platform::ActivationPolicy;
using Apps = std::vector<sonarill::platform::RunningApplication>;

namespace {

// Launches and quits between ticks, and an accessory application, are the routing scenarios'.
TEST(RunningApplications, ListsTheSimulatedApplicationsWithTheirPoliciesInLaunchOrder) {
    sim::World world;
    world.apps = {{"com.apple.Music", "Music", sim::AppPolicy::regular},
                  {"com.example.Agent", "Agent", sim::AppPolicy::accessory},
                  {"com.example.Helper", "", sim::AppPolicy::prohibited}};
    const sonarill::testing::ScopedSimWorld scoped(world);
    EXPECT_EQ(sonarill::platform::runningApplications(),
              (Apps{{"com.apple.Music", "Music", ActivationPolicy::regular},
                    {"com.example.Agent", "Agent", ActivationPolicy::accessory},
                    {"com.example.Helper", "", ActivationPolicy::prohibited}}));
}

} // namespace
