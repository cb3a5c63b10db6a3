// Reading world files, and the built-in default world.

#include "sim/World.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

using namespace sonarill::sim;
using ::testing::HasSubstr;

TEST(WorldFile, ReadsEveryField) {
    const WorldResult result = parseWorld(R"({
        "devices": [
            {"id": 5, "uid": "Spk", "name": "Speakers", "transport": "bltn", "inputChannels": 0,
             "outputChannels": 2, "bufferFrameSize": 1024, "ppm": -12.5},
            {"uid": "Mic", "name": "Mic", "inputChannels": 1}
        ],
        "defaultOutput": "Spk",
        "defaultSystemOutput": "Spk",
        "apps": [{"bundleId": "com.x.Agent", "name": "Agent", "policy": "accessory",
                  "toneHz": 300, "level": 0.25}],
        "plugin": {"installed": true, "routeConfig": false, "loadDelay": 2.5},
        "recordDir": "/tmp/rec",
        "events": [{"at": 1.5, "hang": 3}],
        "faults": [{"call": "AudioObjectGetPropertyData", "uid": "Spk", "selector": "uid ",
                    "status": "who?", "blockMs": 200}]
    })");
    ASSERT_TRUE(result.world) << result.error;
    const World& world = *result.world;
    ASSERT_EQ(world.devices.size(), 2u);
    EXPECT_EQ(world.devices[0].id, 5u);
    EXPECT_EQ(world.devices[0].transport, kAudioDeviceTransportTypeBuiltIn);
    EXPECT_EQ(world.devices[0].bufferFrameSize, 1024u);
    EXPECT_DOUBLE_EQ(world.devices[0].ppm, -12.5);
    EXPECT_EQ(world.devices[1].id, kAudioObjectUnknown);
    EXPECT_EQ(world.devices[1].bufferFrameSize, 512u);
    EXPECT_EQ(world.defaultOutput, "Spk");
    EXPECT_EQ(world.apps[0].policy, AppPolicy::accessory);
    EXPECT_DOUBLE_EQ(world.apps[0].level, 0.25);
    EXPECT_EQ(world.plugin.installed, true);
    EXPECT_FALSE(world.plugin.routeConfig);
    EXPECT_DOUBLE_EQ(world.plugin.loadDelay, 2.5);
    EXPECT_EQ(world.recordDir, "/tmp/rec");
    EXPECT_EQ(world.events[0].kind, EventKind::hang);
    EXPECT_DOUBLE_EQ(world.events[0].seconds, 3.0);
    const Fault& fault = world.faults[0];
    EXPECT_EQ(fault.call, HalCall::getPropertyData);
    EXPECT_EQ(fault.uid, "Spk");
    EXPECT_EQ(fault.selector, kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(fault.status, kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(fault.block.count(), 200);
}

TEST(WorldFile, EmptyObjectIsAnEmptyWorldThatLeavesThePluginFolderAlone) {
    const WorldResult result = parseWorld("{}");
    ASSERT_TRUE(result.world);
    EXPECT_TRUE(result.world->devices.empty());
    EXPECT_FALSE(result.world->plugin.installed);
}

TEST(WorldFile, ProblemsNameTheirPlace) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"devices": [)", "not valid JSON"},
        {"[]", "expected a JSON object"},
        {R"({"device": []})", "device: unknown key"},
        {R"({"devices": [{"uid": "A"}]})", "devices[0].name: missing"},
        {R"({"devices": [{"uid": "A", "name": "A", "transport": "usb"}]})",
         "devices[0].transport: expected four printable ASCII characters"},
        {R"({"devices": [{"id": 1, "uid": "A", "name": "A"}]})", "devices[0].id"},
        {R"({"devices": [{"uid": "A", "name": "A", "outputChannels": -2}]})",
         "devices[0].outputChannels"},
        {R"({"devices": [{"id": 3, "uid": "A", "name": "A"}, {"id": 3, "uid": "B", "name": "B"}]})",
         "devices[1].id: another device has id 3"},
        {R"({"devices": [{"uid": "A", "name": "A", "inputChannels": 1}], "defaultOutput": "A"})",
         "defaultOutput: no device with output has UID \"A\""},
        {R"({"apps": [{"bundleId": "a", "policy": "background"}]})", "apps[0].policy"},
        {R"({"apps": [{"bundleId": "a", "level": 1.5}]})", "apps[0].level: must be between 0"},
        {R"({"plugin": {"installed": "yes"}})", "plugin.installed: expected true or false"},
        {R"({"events": [{"unplug": "A"}]})", "events[0].at: missing"},
        {R"({"events": [{"at": 1, "unplug": "A", "quit": "b"}]})",
         "events[0]: expected exactly one"},
        {R"({"faults": [{"call": "AudioObjectGetPropertyData"}]})",
         "faults[0]: needs a status, a blockMs, or both"},
        {R"({"faults": [{"call": "AudioObjectFoo", "status": 1}]})", "unknown call"},
        {R"({"faults": [{"call": "AudioObjectHasProperty", "status": 4294967296}]})",
         "faults[0].status"},
    };
    for (const auto& [json, expected] : cases) {
        const WorldResult result = parseWorld(json);
        EXPECT_FALSE(result.world) << json;
        EXPECT_THAT(result.error, HasSubstr(expected)) << json;
    }
}

TEST(WorldFile, FileProblemsAreReported) {
    sonarill::testing::ScopedSimWorld world;
    EXPECT_THAT(readWorldFile(world.dataHome() / "missing.json").error,
                HasSubstr("cannot be opened"));
    EXPECT_THAT(readWorldFile(world.dataHome()).error, HasSubstr("is a folder"));
    const auto broken = world.dataHome() / "broken.json";
    std::ofstream(broken) << "{\n  \"devices\": [\n    {\"uid\": \"A\",}\n  ]\n}\n";
    EXPECT_THAT(readWorldFile(broken).error, HasSubstr("line 3"));
}

TEST(WorldFileDeathTest, ProcessLoaderStopsWithOneLineNamingTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string broken = ::testing::TempDir() + "sonarill broken world.json";
    std::ofstream(broken) << R"({"devices": [{"uid": "A"}]})";
    setenv("SONARILL_SIM_WORLD", broken.c_str(), 1);
    EXPECT_EXIT(processWorld(), ::testing::ExitedWithCode(1),
                "^sonarill-sim: cannot use world file .*sonarill broken world\\.json: "
                "devices\\[0\\]\\.name: missing\n$");
    unsetenv("SONARILL_SIM_WORLD");
    std::remove(broken.c_str());
}

TEST(WorldFile, ProcessLoaderUsesTheDefaultWorldWhenNoFileIsNamed) {
    unsetenv("SONARILL_SIM_WORLD");
    EXPECT_EQ(processWorld().devices.size(), defaultWorld().devices.size());
}

TEST(DefaultWorld, IsTheDescribedLaptop) {
    const World world = defaultWorld();
    ASSERT_EQ(world.devices.size(), 5u);
    const Device& microphone = world.devices[0];
    EXPECT_EQ(microphone.name, "Built-in Microphone");
    EXPECT_EQ(microphone.outputChannels, 0u);
    EXPECT_GT(microphone.inputChannels, 0u);
    EXPECT_EQ(world.devices[1].uid, "BuiltInSpeakerDevice");
    EXPECT_EQ(world.devices[1].transport, kAudioDeviceTransportTypeBuiltIn);
    EXPECT_EQ(world.defaultOutput, "BuiltInSpeakerDevice");
    EXPECT_EQ(world.devices[2].transport, kAudioDeviceTransportTypeUSB);
    EXPECT_GT(world.devices[2].inputChannels * world.devices[2].outputChannels, 0u);
    EXPECT_EQ(world.devices[3].transport, kAudioDeviceTransportTypeHDMI);
    EXPECT_EQ(world.devices[4].transport, kAudioDeviceTransportTypeAggregate);
    EXPECT_EQ(world.plugin.installed, false);

    std::map<std::string, const App*> apps;
    for (const App& app : world.apps)
        apps[app.bundleId] = &app;
    EXPECT_DOUBLE_EQ(apps.at("com.google.Chrome")->toneHz, 660.0);
    EXPECT_EQ(apps.at("com.google.Chrome.helper")->policy, AppPolicy::accessory);
    EXPECT_EQ(apps.at("com.google.Chrome.app.youtube")->policy, AppPolicy::regular);
    EXPECT_DOUBLE_EQ(apps.at("com.google.Chrome.app.youtube")->toneHz, 770.0);
    const auto accessories = std::count_if(world.apps.begin(), world.apps.end(), [](const App& a) {
        return a.policy == AppPolicy::accessory;
    });
    EXPECT_EQ(accessories, 2);
}

} // namespace
