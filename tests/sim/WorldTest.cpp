// World files and the problems they report, the timeline of events on the manual clock (devices,
// defaults and applications as a Mac has them change), and the object IDs the simulation hands
// out.

#include "sim/Control.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <string>

namespace {

using namespace sonarill::sim;
using namespace std::literals;
using sonarill::testing::ScopedSimWorld;
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

// A status is 32 bits, written signed or unsigned; anything wider is refused below.
TEST(WorldFile, FaultStatusesAreThirtyTwoBitsWrittenEitherWay) {
    const std::pair<const char*, OSStatus> cases[] = {
        {"-50", -50},
        {"4294967246", -50},
        {"2147483647", std::numeric_limits<OSStatus>::max()},
        {"2147483648", std::numeric_limits<OSStatus>::min()},
        {"-2147483648", std::numeric_limits<OSStatus>::min()},
        {"4294967295", -1},
        {R"("who?")", kAudioHardwareUnknownPropertyError}};
    for (const auto& [status, expected] : cases) {
        const auto world = parseWorld(R"({"faults": [{"call": "AudioObjectGetPropertyData",
                                          "status": )"s +
                                      status + "}]}");
        ASSERT_TRUE(world) << status << ": " << world.error();
        EXPECT_EQ(world->faults[0].status, expected) << status;
    }
    // A number too small for a double is merely zero.
    EXPECT_TRUE(parseWorld(R"({"devices": [{"uid": "A", "name": "A", "ppm": 1e-400}]})"));
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

// Each problem is one line that says where it is. Keys, UIDs, call names and what the JSON reader
// quotes come from the file: a line feed must not split the line, nor an escape sequence reach
// the terminal. JSON sets no limit on numbers; a double does, and such a number is a problem with
// its place instead of the end of the process.
TEST(WorldFile, ProblemsNameTheirPlaceInOnePrintableLine) {
    const std::string statusFault = R"({"faults": [{"call": "AudioObjectHasProperty", "status": )";
    const std::string wholeNumber =
        "faults[0].status: expected a whole number from -2147483648 to 4294967295";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"devices": [)", "not valid JSON"},
        {R"({"device": []})", "device: unknown key"},
        {R"({"devices": [{"uid": "A"}]})", "devices[0].name: missing"},
        {R"({"devices": [{"uid": "A", "name": "A", "transport": "usb"}]})",
         "devices[0].transport: expected four printable ASCII characters"},
        {R"({"devices": [{"id": 1, "uid": "A", "name": "A"}]})", "devices[0].id"},
        {R"({"devices": [{"id": 3, "uid": "A", "name": "A"}, {"id": 3, "uid": "B", "name": "B"}]})",
         "devices[1].id: another device has id 3"},
        {R"({"devices": [{"uid": "A", "name": "A", "inputChannels": 1}], "defaultOutput": "A"})",
         "defaultOutput: no device with output has UID \"A\""},
        {R"({"apps": [{"bundleId": "a", "policy": "background"}]})", "apps[0].policy"},
        {R"({"plugin": {"installed": "yes"}})", "plugin.installed: expected true or false"},
        {R"({"events": [{"at": 1, "unplug": "A", "quit": "b"}]})",
         "events[0]: expected exactly one"},
        {R"({"faults": [{"call": "AudioObjectGetPropertyData"}]})",
         "faults[0]: needs a status, a blockMs, or both"},
        {R"({"faults": [{"call": "AudioObjectFoo", "status": 1}]})", "unknown call"},
        {R"({"keepSystemState": 1})", "keepSystemState"},
        {statusFault + "-2147483649}]}", wholeNumber},
        {statusFault + "4294967296}]}", wholeNumber},
        {statusFault + "18446744073709551615}]}", wholeNumber},
        {statusFault + "-9223372036854775808}]}", wholeNumber},
        {statusFault + "1.5}]}", wholeNumber},
        {"{\"devices\": [{\"uid\": \"A\", \"name\": \"A\",\n  \"ppm\": 1e400}]}",
         "line 2, column 10: number 1e400 is out of range"},
        {R"({"nobody": {"reads": [0, 1.5e309]}})", "line 1, column 26: number 1.5e309"},
        {R"({"plugin": {"a\u0000b": 1}})", R"(plugin.a\u0000b: unknown key)"},
        {R"({"devices": [{"uid": "A", "name": "A", "outputChannels": 2}],
             "defaultOutput": "\u001b[2J"})",
         R"(defaultOutput: no device with output has UID "\u001B[2J")"},
        {R"({"faults": [{"call": "Audio\u009b31m\u007f", "status": 1}]})",
         R"(faults[0].call: unknown call "Audio\u009B31m\u007F")"},
        {R"({"faults": [{"call": "a\"b\\c\u2028d\u2029\t\u00e9", "status": 1}]})",
         "unknown call \"a\\\"b\\\\c\\u2028d\\u2029\\t\u00e9\""},
        // The JSON reader quotes what it read last, bytes that are not UTF-8 included.
        {"{\"a\": tru\xff}", R"(last read: '\"a\": tru\xFF')"},
    };
    for (const auto& [json, expected] : cases) {
        const auto world = parseWorld(json);
        ASSERT_FALSE(world) << json;
        EXPECT_THAT(world.error(), HasSubstr(expected)) << json;
        EXPECT_TRUE(isPrintableLine(world.error())) << world.error();
    }
}

// A device never ends and a huge file is no world: both are refused unread. The file's path is
// escaped like the text in it.
TEST(WorldFile, FileProblemsAreOneLineNamingTheFile) {
    const std::filesystem::path folder = ::testing::TempDir();
    const auto huge = folder / "sonarill huge world.json";
    std::ofstream(huge) << "{}";
    std::filesystem::resize_file(huge, 16 * 1024 * 1024 + 1);
    const auto strange = folder / "two\nlines\x1b[2J.json";
    std::ofstream(strange) << "[]";
    const std::pair<std::filesystem::path, std::string> cases[] = {
        {folder / "sonarill missing.json", "cannot be opened"},
        {folder, "is a folder"},
        {"/dev/zero", "/dev/zero: is larger than 16 MiB"},
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
