#include "platform/RunningApplications.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

using sonarill::platform::ActivationPolicy;
using sonarill::platform::RunningApplication;
using sonarill::platform::runningApplications;
namespace sim = sonarill::sim;

namespace {

sim::World worldWithApps() {
    sim::World world;
    world.apps = {{"com.apple.Music", "Music", sim::AppPolicy::regular},
                  {"com.example.Agent", "Agent", sim::AppPolicy::accessory},
                  {"com.example.Helper", "", sim::AppPolicy::prohibited}};
    return world;
}

TEST(RunningApplications, ListsTheSimulatedApplicationsWithTheirPoliciesInLaunchOrder) {
    const sonarill::testing::ScopedSimWorld scoped(worldWithApps());
    const std::vector<RunningApplication> expected = {
        {"com.apple.Music", "Music", ActivationPolicy::regular},
        {"com.example.Agent", "Agent", ActivationPolicy::accessory},
        {"com.example.Helper", "", ActivationPolicy::prohibited}};
    EXPECT_EQ(runningApplications(), expected);

    // A launch joins the end, a quit leaves the others in their order.
    ASSERT_TRUE(sim::launchApp({"com.example.New", "New", sim::AppPolicy::regular}));
    ASSERT_TRUE(sim::quitApp("com.example.Agent"));
    const std::vector<RunningApplication> after = {
        {"com.apple.Music", "Music", ActivationPolicy::regular},
        {"com.example.Helper", "", ActivationPolicy::prohibited},
        {"com.example.New", "New", ActivationPolicy::regular}};
    EXPECT_EQ(runningApplications(), after);
}

TEST(RunningApplications, NoneRunInAnEmptyWorld) {
    const sonarill::testing::ScopedSimWorld scoped(sim::World{});
    EXPECT_TRUE(runningApplications().empty());
}

} // namespace
