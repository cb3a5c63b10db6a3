// World files and the problems they report (the tables in tests/scenarios/world-files, with the
// reading of every field and the file's own problems here), the timeline of events on the manual
// clock (devices, defaults and applications as a Mac has them change), and the object IDs the
// simulation hands out.

#include "sim/Control.h"
#include "support/SimWorld.h"
#include "support/TextTables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace {

using namespace sonarill::sim;
using namespace std::literals;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::textOf;
using sonarill::testing::worldFromJSON;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::FieldsAre;
using ::testing::HasSubstr;

// The fields the other tests' worlds leave out; a missing one takes its default.
TEST(WorldFile, ReadsEveryField) {
    const auto world = parseWorld(R"({
        "devices": [{"id": 5, "uid": "Spk", "name": "Speakers", "transport": "bltn",
                     "outputChannels": 2, "bufferFrameSize": 1024, "ppm": -12.5},
                    {"uid": "Mic", "name": "Mic", "inputChannels": 1}],
        "defaultSystemOutput": "Spk",
        "apps": [{"bundleId": "com.x.Agent", "name": "Agent", "policy": "accessory",
                  "toneHz": 300, "level": 0.25, "icon": "utilities-terminal"}],
        "plugin": {"installed": true, "routeConfig": false, "loadDelay": 2.5},
        "recordDir": "/tmp/rec",
        "events": [{"at": 2, "restart": 0.5}],
        "faults": [{"call": "AudioUnitSetProperty", "uid": "Spk", "property": 23, "scope": 1,
                    "status": -1, "blockMs": 200}]
    })");
    ASSERT_TRUE(world) << world.error();
    EXPECT_THAT(world->devices,
                ElementsAre(FieldsAre(5, "Spk", "Speakers", kAudioDeviceTransportTypeBuiltIn, 0, 2,
                                      1024, -12.5),
                            FieldsAre(0, "Mic", "Mic", 0, 1, 0, 512, 0.0))); // 0: picked later
    EXPECT_EQ(world->defaultSystemOutput, "Spk");
    EXPECT_THAT(world->apps, ElementsAre(FieldsAre("com.x.Agent", "Agent", AppPolicy::accessory,
                                                   300.0, 0.25, "utilities-terminal")));
    EXPECT_THAT(world->plugin, FieldsAre(std::optional(true), false, 2.5));
    EXPECT_EQ(world->recordDir, "/tmp/rec");
    EXPECT_THAT(world->events, ElementsAre(FieldsAre(2.0, EventKind::restart, "", _, _, 0.5)));
    EXPECT_THAT(world->faults,
                ElementsAre(FieldsAre(AudioCall::audioUnitSetProperty, "Spk", std::nullopt,
                                      kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                      -1, 200ms)));
    EXPECT_FALSE(parseWorld("{}")->plugin.installed); // leaves the plug-in folder alone
}

// True when `text` prints as one line without control characters: no C0, DEL or C1.
bool isPrintableLine(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
            return false;
    }
    return true;
}

// The checks a row can name, as the folder's README.md describes them.
const std::map<std::string, sonarill::testing::TextCheck> kChecks = {
    {"problemIn",
     [](const nlohmann::json& in, const nlohmann::json& part) {
         const auto world = parseWorld(textOf(in));
         ASSERT_FALSE(world);
         EXPECT_THAT(world.error(), HasSubstr(textOf(part)));
         EXPECT_TRUE(isPrintableLine(world.error())) << world.error();
     }},
    {"faultStatusIn",
     [](const nlohmann::json& in, const nlohmann::json& status) {
         const auto world = parseWorld(textOf(in));
         ASSERT_TRUE(world && world->faults.size() == 1) << world.error();
         EXPECT_EQ(world->faults[0].status, status.get<OSStatus>());
     }},
    {"ppmIn",
     [](const nlohmann::json& in, const nlohmann::json& ppm) {
         const auto world = parseWorld(textOf(in));
         ASSERT_TRUE(world && world->devices.size() == 1) << world.error();
         EXPECT_EQ(world->devices[0].ppm, ppm.get<double>());
     }},
};

class FileTable : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(FileTable, Holds) {
    sonarill::testing::runTextTable(GetParam(), kChecks);
}
INSTANTIATE_TEST_SUITE_P(
    World, FileTable, ::testing::ValuesIn(sonarill::testing::tableFiles(SONARILL_WORLD_FILE_CASES)),
    sonarill::testing::tableName);

// A device never ends, a FIFO may never be written and a huge file is no world: all are refused
// unread. The file's path is
// escaped like the text in it.
TEST(WorldFile, FileProblemsAreOneLineNamingTheFile) {
    const std::filesystem::path folder = ::testing::TempDir();
    const auto huge = folder / "sonarill huge world.json";
    std::ofstream(huge) << "{}";
    std::filesystem::resize_file(huge, 16 * 1024 * 1024 + 1);
    const auto strange = folder / "two\nlines\x1b[2J.json";
    std::ofstream(strange) << "[]";
    const auto fifo = folder / "sonarill fifo world.json";
    ::mkfifo(fifo.c_str(), 0644);
    const std::pair<std::filesystem::path, std::string> cases[] = {
        {folder / "sonarill missing.json", "cannot be opened"},
        {folder, "is a folder"},
        {"/dev/zero", "/dev/zero: is a device, not a regular file"},
        {fifo, "world.json: is a pipe (FIFO), not a regular file"},
        {huge, "is larger than 16 MiB"},
        {strange, R"(/two\nlines\u001B[2J.json: expected a JSON object at the top)"},
    };
    for (const auto& [path, expected] : cases) {
        setenv("SONARILL_SIM_WORLD", path.c_str(), 1);
        const auto world = processWorld();
        ASSERT_FALSE(world) << path;
        EXPECT_THAT(world.error(), HasSubstr("cannot use world file "));
        EXPECT_THAT(world.error(), HasSubstr(expected));
        EXPECT_TRUE(isPrintableLine(world.error())) << world.error();
    }
    unsetenv("SONARILL_SIM_WORLD");
    std::filesystem::remove(huge);
    std::filesystem::remove(strange);
    std::filesystem::remove(fifo);
}

TEST(WorldFileDeathTest, AProgramStartingWithABrokenWorldStopsWithOneLine) {
    const auto broken = std::filesystem::path(::testing::TempDir()) / "sonarill broken world.json";
    std::ofstream(broken) << "{\n  \"devices\": [\n    {\"uid\": \"A\",}\n  ]\n}\n";
    setenv("SONARILL_SIM_WORLD", broken.c_str(), 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(startSimulation(), ::testing::ExitedWithCode(1),
                "^sonarill-sim: cannot use world file [^\n]*sonarill broken world\\.json: "
                "not valid JSON: [^\n]*line 3[^\n]*\n$");
    unsetenv("SONARILL_SIM_WORLD");
    std::filesystem::remove(broken);
}

std::vector<std::string> uids() {
    std::vector<std::string> result;
    for (const Device& device : devices())
        result.push_back(device.uid);
    return result;
}

// Every object ID in use: the devices' and their streams'; none twice.
bool objectIDsAllDifferent(std::vector<AudioObjectID> ids = {}) {
    for (const Device& device : devices()) {
        ids.push_back(device.id);
        const AudioObjectPropertyAddress streams{kAudioDevicePropertyStreams,
                                                 kAudioObjectPropertyScopeGlobal, 0};
        AudioObjectID found[2] = {};
        UInt32 size = sizeof found;
        EXPECT_EQ(AudioObjectGetPropertyData(device.id, &streams, 0, nullptr, &size, found), noErr);
        ids.insert(ids.end(), found, found + size / sizeof(AudioObjectID));
    }
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

// Removing itself while being called must not deadlock; once removed, it is told nothing more.
OSStatus removeItself(AudioObjectID object, UInt32, const AudioObjectPropertyAddress*,
                      void* calls) {
    ++*static_cast<std::atomic<int>*>(calls);
    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(AudioObjectRemovePropertyListener(object, &devices, &removeItself, calls), noErr);
    return noErr;
}

// Events apply in time order, several in one step; a device plugged under a taken ID gets a fresh
// one. As on macOS, the first output device to arrive becomes the default, and a default that is
// unplugged moves to a remaining output.
TEST(Timeline, ManualClockAppliesEventsInTimeOrder) {
    ScopedSimWorld world(worldFromJSON(R"({
    "devices": [{"id": 10, "uid": "Mic", "name": "Mic", "inputChannels": 1},
                {"id": 11, "uid": "Headset", "name": "Headset", "outputChannels": 2}],
    "apps": [{"bundleId": "com.apple.Music", "name": "Music", "toneHz": 440}],
    "events": [
        {"at": 3, "quit": "com.apple.Music"},
        {"at": 1, "unplug": "Headset"},
        {"at": 2, "plug": {"id": 10, "uid": "Dock", "name": "Dock", "outputChannels": 2}},
        {"at": 2, "plug": {"uid": "Desk", "name": "Desk", "outputChannels": 2}},
        {"at": 2, "plug": {"uid": "Spare", "name": "Spare", "outputChannels": 2}},
        {"at": 2, "launch": {"bundleId": "com.apple.podcasts", "name": "Podcasts"}},
        {"at": 4.5, "setDefaultOutput": "Spare"},
        {"at": 4.2, "unplug": "Dock"},
        {"at": 6, "unplug": "Desk"}
    ]})"),
                         TimelineClock::manual);
    const auto defaults = [] {
        return std::pair(defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice),
                         defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice));
    };
    using Defaults = std::pair<std::optional<std::string>, std::optional<std::string>>;
    std::atomic<int> calls{0};
    const AudioObjectPropertyAddress list{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &list, &removeItself, &calls), noErr);
    advanceTimeline(0.999);
    EXPECT_THAT(uids(), ElementsAre("Mic", "Headset"));
    advanceTimeline(0.001);
    EXPECT_THAT(uids(), ElementsAre("Mic"));
    EXPECT_EQ(defaults(), Defaults());
    advanceTimeline(1.0);
    ASSERT_THAT(uids(), ElementsAre("Mic", "Dock", "Desk", "Spare"));
    EXPECT_GT(devices()[1].id, 11u);
    EXPECT_TRUE(objectIDsAllDifferent());
    EXPECT_EQ(defaults(), Defaults("Dock", "Dock"));
    EXPECT_EQ(runningApps().size(), 2u);
    advanceTimeline(2.3);
    EXPECT_EQ(defaults(), Defaults("Desk", "Desk"));
    advanceTimeline(0.7);
    EXPECT_EQ(defaults(), Defaults("Spare", "Desk"));
    advanceTimeline(10.0);
    ASSERT_EQ(runningApps().size(), 1u);
    EXPECT_EQ(runningApps()[0].bundleId, "com.apple.podcasts");
    EXPECT_EQ(defaults(), Defaults("Spare", "Spare"));
    EXPECT_DOUBLE_EQ(timelineSeconds(), 15.0);
    waitForNotifications();
    EXPECT_EQ(calls.load(), 1);
}

// A restart while the server restarts starts the wait over; then every device comes back but one
// unplugged meanwhile, the default output with them.
TEST(Timeline, ARestartDuringARestartBringsBackTheDevicesOfTheFirst) {
    ScopedSimWorld world(worldFromJSON(R"({
    "devices": [{"uid": "Speakers", "name": "Speakers", "outputChannels": 2},
                {"uid": "Headset", "name": "Headset", "outputChannels": 2},
                {"uid": "Dock", "name": "Dock", "outputChannels": 2}],
    "defaultOutput": "Headset",
    "events": [{"at": 1, "restart": 1}, {"at": 1.2, "unplug": "Dock"},
               {"at": 1.5, "restart": 1}]})"),
                         TimelineClock::manual);
    advanceTimeline(2.4);
    EXPECT_THAT(uids(), ElementsAre());
    advanceTimeline(0.1);
    EXPECT_THAT(uids(), ElementsAre("Speakers", "Headset"));
    EXPECT_EQ(defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice), "Headset");
}

// IDs are handed out from above the world's named ones, going round past the top but never to
// one the world names for a device plugged later, nor again to one of a device that went.
TEST(ObjectIDs, AnIDIsNeverHandedOutTwiceNorOneTheWorldNames) {
    ScopedSimWorld world(worldFromJSON(R"({"devices": [
        {"id": 4294967294, "uid": "Top", "name": "Top", "outputChannels": 2},
        {"uid": "Unnamed", "name": "Unnamed", "outputChannels": 2},
        {"id": 2, "uid": "Low", "name": "Low", "outputChannels": 2}],
        "events": [{"at": 1, "plug": {"id": 3, "uid": "Later", "name": "Later"}}]})"),
                         TimelineClock::manual);
    advanceTimeline(1.0);
    std::vector<AudioObjectID> now;
    for (const Device& device : devices())
        now.push_back(device.id);
    EXPECT_THAT(now, ElementsAre(4294967294u, ::testing::Gt(3u), 2u, 3u)); // round past the top
    ASSERT_EQ(addDevice({.id = 12, .uid = "Chosen", .name = "Chosen"}).value_or(0), 12u);
    ASSERT_TRUE(removeDevice(12));
    for (const char* uid : {"B", "C", "D"})
        EXPECT_NE(addDevice({.uid = uid, .name = uid}).value_or(0), 12u) << "a second device";
    EXPECT_TRUE(objectIDsAllDifferent({12}));
}

} // namespace
