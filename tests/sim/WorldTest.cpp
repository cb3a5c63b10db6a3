// World files, the built-in default world and the timeline of events.

#include "sim/Control.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

namespace {

using namespace sonarill::sim;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldFromJSON;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::FieldsAre;
using ::testing::Gt;
using ::testing::HasSubstr;
using ::testing::Optional;

TEST(WorldFile, ReadsEveryField) {
    const auto world = parseWorld(R"({
        "devices": [
            {"id": 5, "uid": "Spk", "name": "Speakers", "transport": "bltn", "inputChannels": 0,
             "outputChannels": 2, "bufferFrameSize": 1024, "ppm": -12.5},
            {"uid": "Mic", "name": "Mic", "inputChannels": 1}
        ],
        "defaultSystemOutput": "Spk",
        "apps": [{"bundleId": "com.x.Agent", "name": "Agent", "policy": "accessory",
                  "toneHz": 300, "level": 0.25, "icon": "utilities-terminal"}],
        "plugin": {"installed": true, "routeConfig": false, "loadDelay": 2.5},
        "recordDir": "/tmp/rec",
        "events": [{"at": 1.5, "hang": 3}, {"at": 2, "restart": 0.5}],
        "faults": [{"call": "AudioObjectHasProperty", "status": "who?", "blockMs": 200},
                   {"call": "AudioUnitSetProperty", "uid": "Spk", "property": 23, "scope": 1,
                    "status": -1}]
    })");
    ASSERT_TRUE(world) << world.error();
    EXPECT_THAT(world->devices,
                ElementsAre(FieldsAre(5, "Spk", "Speakers", kAudioDeviceTransportTypeBuiltIn, 0, 2,
                                      1024, -12.5),
                            // No id: the simulation picks one.
                            FieldsAre(0, "Mic", "Mic", 0, 1, 0, 512, 0.0)));
    EXPECT_EQ(world->defaultSystemOutput, "Spk");
    EXPECT_THAT(world->apps, ElementsAre(FieldsAre("com.x.Agent", "Agent", AppPolicy::accessory,
                                                   300.0, 0.25, "utilities-terminal")));
    EXPECT_THAT(world->plugin, FieldsAre(Optional(true), false, 2.5));
    EXPECT_EQ(world->recordDir, "/tmp/rec");
    EXPECT_DOUBLE_EQ(world->events[0].seconds, 3.0);
    EXPECT_EQ(world->events[1].kind, EventKind::restart);
    EXPECT_DOUBLE_EQ(world->events[1].seconds, 0.5);
    EXPECT_EQ(world->faults[1].call, AudioCall::audioUnitSetProperty);
    EXPECT_EQ(world->faults[1].property, kAudioUnitProperty_SetRenderCallback);
    EXPECT_EQ(world->faults[1].scope, kAudioUnitScope_Input);
    EXPECT_EQ(world->faults[0].status, kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(world->faults[0].block.count(), 200);
    EXPECT_FALSE(parseWorld("{}")->plugin.installed); // leaves the plug-in folder alone
}

TEST(WorldFile, ProblemsNameTheirPlace) {
    const std::pair<const char*, const char*> cases[] = {
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
        {R"({"faults": [{"call": "AudioObjectHasProperty", "status": 4294967296}]})",
         "faults[0].status"},
    };
    for (const auto& [json, expected] : cases) {
        const auto world = parseWorld(json);
        EXPECT_FALSE(world) << json;
        EXPECT_THAT(world.error(), HasSubstr(expected)) << json;
    }
}

// JSON sets no limit on numbers; a double does. Wherever such a number stands, the problem says
// where it is instead of ending the process.
TEST(WorldFile, NumbersTooLargeForADoubleAreProblemsWithTheirPlace) {
    const std::pair<const char*, const char*> cases[] = {
        {"{\"devices\": [{\"uid\": \"A\", \"name\": \"A\",\n  \"ppm\": 1e400}]}",
         "line 2, column 10: number 1e400 is out of range"},
        {R"({"events": [{"at": -2E+999, "hang": 1}]})",
         "line 1, column 20: number -2E+999 is out of range"},
        {R"({"nobody": {"reads": [0, 1.5e309]}})", "line 1, column 26: number 1.5e309"},
        {"1e400", "line 1, column 1: number 1e400 is out of range"},
    };
    for (const auto& [json, expected] : cases) {
        const auto world = parseWorld(json);
        EXPECT_FALSE(world) << json;
        EXPECT_THAT(world.error(), HasSubstr(expected)) << json;
    }
    // Too small is merely zero.
    EXPECT_TRUE(parseWorld(R"({"devices": [{"uid": "A", "name": "A", "ppm": 1e-400}]})"));
}

// A status is 32 bits, written signed or unsigned; nothing wider is cut down to fit.
TEST(WorldFile, FaultStatusesAreExactlyThirtyTwoBits) {
    const std::pair<const char*, std::optional<OSStatus>> cases[] = {
        {"0", 0},
        {"-0", 0},
        {"-50", -50},
        {"4294967246", -50}, // the same bits, written unsigned
        {"2147483647", std::numeric_limits<OSStatus>::max()},
        {"2147483648", std::numeric_limits<OSStatus>::min()},
        {"-2147483648", std::numeric_limits<OSStatus>::min()},
        {"4294967295", -1},
        {R"("who?")", kAudioHardwareUnknownPropertyError},
        {"-2147483649", std::nullopt},
        {"4294967296", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"-9223372036854775808", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const auto& [status, expected] : cases) {
        const auto world = parseWorld(
            std::string(R"({"faults": [{"call": "AudioObjectGetPropertyData", "status": )") +
            status + "}]}");
        if (expected) {
            ASSERT_TRUE(world) << status << ": " << world.error();
            EXPECT_EQ(world->faults[0].status, expected) << status;
        } else {
            EXPECT_THAT(world.error(), HasSubstr("faults[0].status: expected a whole number from "
                                                 "-2147483648 to 4294967295"))
                << status;
        }
    }
}

// True when `text` prints as one line without control characters: no C0, DEL or C1.
bool isPrintableLine(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1)
            return false;
    }
    return true;
}

// Keys, UIDs, call names and what the JSON reader quotes come from the file: a line feed must
// not split the line, nor an escape sequence reach the terminal.
TEST(WorldFile, TextFromTheFileIsEscapedInProblems) {
    using namespace std::string_literals;
    const std::pair<std::string, const char*> cases[] = {
        {R"({"dev\nices": []})", R"(dev\nices: unknown key)"},
        {R"({"plugin": {"a\u0000b": 1}})", R"(plugin.a\u0000b: unknown key)"},
        {R"({"devices": [{"uid": "A", "name": "A", "outputChannels": 2}],
             "defaultOutput": "\u001b[2J"})",
         R"(defaultOutput: no device with output has UID "\u001B[2J")"},
        {R"({"faults": [{"call": "Audio\u009b31m\u007f", "status": 1}]})",
         R"(faults[0].call: unknown call "Audio\u009B31m\u007F")"},
        {R"({"faults": [{"call": "a\"b\\c\u2028d\u2029\t\u00e9", "status": 1}]})",
         "unknown call \"a\\\"b\\\\c\\u2028d\\u2029\\t\u00e9\""},
        {"{\"\xc2\x9b\": 1}"s, R"(\u009B: unknown key)"}, // C1 as UTF-8
        // The JSON reader quotes what it read last, bytes that are not UTF-8 included.
        {"{\"a\": tru\xff}"s, R"(last read: '\"a\": tru\xFF')"},
        {"{\"a\": \x1b[2J}"s, "last read: "},
    };
    for (const auto& [json, expected] : cases) {
        const auto world = parseWorld(json);
        EXPECT_THAT(world.error(), HasSubstr(expected)) << json;
        EXPECT_TRUE(isPrintableLine(world.error())) << world.error();
    }
}

TEST(WorldFileDeathTest, ProblemsWithTheFileAreReportedInOneLineNamingIt) {
    const std::filesystem::path folder = ::testing::TempDir();
    EXPECT_THAT(readWorldFile(folder / "sonarill missing.json").error(),
                HasSubstr("cannot be opened"));
    EXPECT_THAT(readWorldFile(folder).error(), HasSubstr("is a folder"));
    const auto broken = folder / "sonarill broken world.json";
    std::ofstream(broken) << "{\n  \"devices\": [\n    {\"uid\": \"A\",}\n  ]\n}\n";
    setenv("SONARILL_SIM_WORLD", broken.c_str(), 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A program that starts the simulation stops, with one line.
    EXPECT_EXIT(startSimulation(), ::testing::ExitedWithCode(1),
                "^sonarill-sim: cannot use world file [^\n]*sonarill broken world\\.json: "
                "not valid JSON: [^\n]*line 3[^\n]*\n$");
    unsetenv("SONARILL_SIM_WORLD");
    std::filesystem::remove(broken);
}

// A device never ends, and a huge file is no world: both are refused without reading them whole.
TEST(WorldFile, FilesLargerThanSixteenMiBAreRefused) {
    EXPECT_EQ(readWorldFile("/dev/zero").error(), "is larger than 16 MiB");
    const auto huge = std::filesystem::path(::testing::TempDir()) / "sonarill huge world.json";
    std::ofstream(huge) << "{}";
    std::filesystem::resize_file(huge, 16 * 1024 * 1024 + 1);
    EXPECT_EQ(readWorldFile(huge).error(), "is larger than 16 MiB");
    std::filesystem::remove(huge);

    setenv("SONARILL_SIM_WORLD", "/dev/zero", 1);
    EXPECT_EQ(processWorld().error(), "cannot use world file /dev/zero: is larger than 16 MiB");
    unsetenv("SONARILL_SIM_WORLD");
}

TEST(WorldFile, ThePathIsEscapedInTheErrorLine) {
    const auto strange = std::filesystem::path(::testing::TempDir()) / "two\nlines\x1b[2J.json";
    std::ofstream(strange) << "[]";
    setenv("SONARILL_SIM_WORLD", strange.c_str(), 1);
    EXPECT_THAT(processWorld().error(),
                ::testing::MatchesRegex(R"(cannot use world file [^)"
                                        "\n"
                                        R"(]*/two\\nlines\\u001B\[2J\.json: )"
                                        "expected a JSON object at the top"));
    unsetenv("SONARILL_SIM_WORLD");
    std::filesystem::remove(strange);
}

// Later layers and their tests rely on these devices and applications.
TEST(DefaultWorld, IsTheDescribedLaptopWhenNoFileIsNamed) {
    unsetenv("SONARILL_SIM_WORLD");
    const World world = processWorld().value_or({});
    const auto some = Gt(0u);
    EXPECT_THAT(
        world.devices,
        ElementsAre(FieldsAre(40, _, "Built-in Microphone", kAudioDeviceTransportTypeBuiltIn, some,
                              0, _, _),
                    FieldsAre(41, "BuiltInSpeakerDevice", "MacBook Pro Speakers",
                              kAudioDeviceTransportTypeBuiltIn, 0, some, _, _),
                    FieldsAre(42, _, "USB Headset", kAudioDeviceTransportTypeUSB, some, some, _, _),
                    FieldsAre(43, _, "LG HDMI", kAudioDeviceTransportTypeHDMI, _, some, _, _),
                    FieldsAre(44, _, "Multi-Output Device", kAudioDeviceTransportTypeAggregate, _,
                              some, _, _)));
    EXPECT_EQ(world.defaultOutput, "BuiltInSpeakerDevice");
    EXPECT_THAT(
        world.apps,
        ElementsAre(FieldsAre("com.apple.Music", "Music", AppPolicy::regular, 440.0, _, _),
                    FieldsAre(_, "Podcasts", AppPolicy::regular, 550.0, _, _),
                    FieldsAre("com.google.Chrome", "Google Chrome", _, 660.0, _, _),
                    FieldsAre("com.google.Chrome.helper", _, AppPolicy::accessory, _, _, _),
                    FieldsAre("com.google.Chrome.app.youtube", _, AppPolicy::regular, 770.0, _, _),
                    FieldsAre(_, _, AppPolicy::accessory, _, _, _))); // an agent
    EXPECT_EQ(world.plugin.installed, false);
}

template <typename Record>
std::vector<std::string> texts(const std::vector<Record>& records, std::string Record::*text) {
    std::vector<std::string> result;
    for (const Record& record : records)
        result.push_back(record.*text);
    return result;
}

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
        {"at": 2, "launch": {"bundleId": "com.apple.podcasts", "name": "Podcasts"}},
        {"at": 4, "setDefaultOutput": "Desk"}
    ]})"),
                         TimelineClock::manual);
    advanceTimeline(0.999);
    EXPECT_THAT(texts(devices(), &Device::uid), ElementsAre("Mic", "Headset"));
    advanceTimeline(0.001);
    EXPECT_THAT(texts(devices(), &Device::uid), ElementsAre("Mic"));
    EXPECT_FALSE(defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice));
    advanceTimeline(1.0);
    const auto plugged = devices();
    ASSERT_THAT(texts(plugged, &Device::uid), ElementsAre("Mic", "Dock", "Desk"));
    EXPECT_NE(plugged[1].id, 10u); // its own ID was taken: it gets a fresh one
    EXPECT_GT(plugged[1].id, 1u);
    // As on macOS, the first output device to arrive becomes the default.
    EXPECT_EQ(defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice), "Dock");
    EXPECT_EQ(defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice), "Dock");
    EXPECT_THAT(texts(runningApps(), &App::bundleId),
                ElementsAre("com.apple.Music", "com.apple.podcasts"));
    advanceTimeline(10.0); // several events in one step
    EXPECT_THAT(texts(runningApps(), &App::bundleId), ElementsAre("com.apple.podcasts"));
    EXPECT_EQ(defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice), "Desk");
    EXPECT_DOUBLE_EQ(timelineSeconds(), 12.0);
}

// Every object ID in use: the devices' and their streams'.
std::vector<AudioObjectID> objectIDsInUse() {
    std::vector<AudioObjectID> ids;
    for (const Device& device : devices()) {
        ids.push_back(device.id);
        const AudioObjectPropertyAddress streams{kAudioDevicePropertyStreams,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        AudioObjectID found[2] = {};
        UInt32 size = sizeof found;
        EXPECT_EQ(AudioObjectGetPropertyData(device.id, &streams, 0, nullptr, &size, found), noErr);
        ids.insert(ids.end(), found, found + size / sizeof(AudioObjectID));
    }
    return ids;
}

bool allDifferent(std::vector<AudioObjectID> ids) {
    std::sort(ids.begin(), ids.end());
    return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

// The simulation picks IDs for streams and for devices the world gives none; it never takes one
// the world names, neither after going round past the top nor for a device plugged later.
TEST(ObjectIDs, PickedIDsAvoidEveryIDTheWorldNames) {
    ScopedSimWorld world(worldFromJSON(R"({
    "devices": [{"id": 4294967294, "uid": "Top", "name": "Top", "inputChannels": 1,
                 "outputChannels": 2},
                {"uid": "Unnamed", "name": "Unnamed", "outputChannels": 2},
                {"id": 2, "uid": "Low", "name": "Low", "outputChannels": 2}],
    "events": [{"at": 1, "plug": {"id": 3, "uid": "Later", "name": "Later",
                                  "outputChannels": 2}}]})"),
                         TimelineClock::manual);
    advanceTimeline(1.0);
    const auto now = devices();
    ASSERT_THAT(texts(now, &Device::uid), ElementsAre("Top", "Unnamed", "Low", "Later"));
    EXPECT_EQ(now[0].id, 4294967294u);
    EXPECT_THAT(now[1].id, ::testing::AllOf(Gt(3u), ::testing::Ne(4294967294u)));
    EXPECT_EQ(now[2].id, 2u);
    EXPECT_EQ(now[3].id, 3u);
    EXPECT_TRUE(allDifferent(objectIDsInUse()));
}

// Like Core Audio, the simulation gives a new device a new ID, not one a device that went away
// had.
TEST(ObjectIDs, AnIDIsNotGivenToASecondDevice) {
    ScopedSimWorld world(worldFromJSON(R"({"devices": [{"id": 10, "uid": "A", "name": "A"}]})"),
                         TimelineClock::manual);
    ASSERT_EQ(addDevice({.id = 12, .uid = "Chosen", .name = "Chosen"}).value_or(0), 12u);
    ASSERT_TRUE(removeDevice(12));
    std::vector<AudioObjectID> picked;
    for (const char* uid : {"B", "C", "D"})
        picked.push_back(addDevice({.uid = uid, .name = uid}).value_or(0));
    EXPECT_THAT(picked, ::testing::Each(::testing::AllOf(Gt(10u), ::testing::Ne(12u))));
    picked.push_back(10);
    EXPECT_TRUE(allDifferent(picked));
    EXPECT_TRUE(allDifferent(objectIDsInUse()));
}

} // namespace
