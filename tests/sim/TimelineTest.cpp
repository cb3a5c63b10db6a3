// The world's timeline of events, on the manual and the real-time clock.

#include "sim/Control.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using sonarill::sim::TimelineClock;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldFromJSON;

std::vector<std::string> deviceUIDs() {
    std::vector<std::string> uids;
    for (const auto& device : sonarill::sim::devices())
        uids.push_back(device.uid);
    return uids;
}

std::vector<std::string> appIDs() {
    std::vector<std::string> ids;
    for (const auto& app : sonarill::sim::runningApps())
        ids.push_back(app.bundleId);
    return ids;
}

constexpr const char* kTimeline = R"({
    "devices": [
        {"id": 10, "uid": "Speakers", "name": "Speakers", "transport": "bltn", "outputChannels": 2},
        {"id": 11, "uid": "Headset", "name": "Headset", "transport": "usb ", "outputChannels": 2}
    ],
    "apps": [{"bundleId": "com.apple.Music", "name": "Music", "toneHz": 440}],
    "events": [
        {"at": 3, "quit": "com.apple.Music"},
        {"at": 1, "unplug": "Headset"},
        {"at": 2, "plug": {"uid": "Dock", "name": "Dock", "transport": "usb ", "outputChannels": 2}},
        {"at": 2, "launch": {"bundleId": "com.apple.podcasts", "name": "Podcasts"}},
        {"at": 4, "setDefaultOutput": "Dock"}
    ]
})";

TEST(Timeline, ManualClockAppliesEventsInTimeOrder) {
    ScopedSimWorld world(worldFromJSON(kTimeline), TimelineClock::manual);
    using ::testing::ElementsAre;
    sonarill::sim::advanceTimeline(0.999);
    EXPECT_THAT(deviceUIDs(), ElementsAre("Speakers", "Headset"));
    sonarill::sim::advanceTimeline(0.001);
    EXPECT_THAT(deviceUIDs(), ElementsAre("Speakers"));
    sonarill::sim::advanceTimeline(1.0);
    EXPECT_THAT(deviceUIDs(), ElementsAre("Speakers", "Dock"));
    EXPECT_THAT(appIDs(), ElementsAre("com.apple.Music", "com.apple.podcasts"));
    EXPECT_EQ(sonarill::sim::defaultOutputUID(), "Speakers");
    sonarill::sim::advanceTimeline(10.0); // several events in one step
    EXPECT_THAT(appIDs(), ElementsAre("com.apple.podcasts"));
    EXPECT_EQ(sonarill::sim::defaultOutputUID(), "Dock");
    EXPECT_DOUBLE_EQ(sonarill::sim::timelineSeconds(), 12.0);
}

TEST(Timeline, PluggedDeviceGetsAFreshIDWhenItsOwnIsTaken) {
    ScopedSimWorld world(worldFromJSON(R"({
        "devices": [{"id": 10, "uid": "A", "name": "A", "outputChannels": 2}],
        "events": [{"at": 1, "plug": {"id": 10, "uid": "B", "name": "B", "inputChannels": 1}}]
    })"),
                         TimelineClock::manual);
    sonarill::sim::advanceTimeline(1.0);
    const auto devices = sonarill::sim::devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, 10u);
    EXPECT_NE(devices[1].id, 10u);
    EXPECT_GT(devices[1].id, 1u);
}

TEST(Timeline, RealTimeClockRunsEventsByItself) {
    ScopedSimWorld world(worldFromJSON(R"({
        "devices": [{"id": 10, "uid": "A", "name": "A", "outputChannels": 2}],
        "events": [{"at": 0.05, "unplug": "A"}]
    })"),
                         TimelineClock::realTime);
    for (int i = 0; i < 200 && !sonarill::sim::devices().empty(); ++i)
        std::this_thread::sleep_for(25ms);
    EXPECT_TRUE(sonarill::sim::devices().empty());
    EXPECT_FALSE(sonarill::sim::defaultOutputUID());
}

TEST(ControlAPI, AddDeviceRefusesTakenIDsAndEmptyUIDs) {
    ScopedSimWorld world(worldFromJSON(R"({"devices": [{"id": 10, "uid": "A", "name": "A"}]})"),
                         TimelineClock::manual);
    EXPECT_FALSE(sonarill::sim::addDevice({10, "B", "B", 0, 0, 2, 512, 0}));
    EXPECT_FALSE(sonarill::sim::addDevice({0, "", "B", 0, 0, 2, 512, 0}));
    // The first output device to arrive becomes the default, as on macOS.
    EXPECT_FALSE(sonarill::sim::defaultOutputUID());
    EXPECT_TRUE(sonarill::sim::addDevice({0, "C", "C", 0, 0, 2, 512, 0}));
    EXPECT_EQ(sonarill::sim::defaultOutputUID(), "C");
    EXPECT_EQ(sonarill::sim::defaultSystemOutputUID(), "C");
}

TEST(ControlAPI, AppsLaunchOnceAndQuit) {
    ScopedSimWorld world;
    EXPECT_FALSE(sonarill::sim::launchApp({"com.apple.Music", "Music"}));
    EXPECT_TRUE(sonarill::sim::launchApp({"com.example.New", "New"}));
    EXPECT_TRUE(sonarill::sim::quitApp("com.apple.Music"));
    EXPECT_FALSE(sonarill::sim::quitApp("com.apple.Music"));
    EXPECT_EQ(appIDs().back(), "com.example.New");
}

} // namespace
