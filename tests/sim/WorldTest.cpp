// World files and the problems they report (the tables in tests/scenarios/world-files, with the
// reading of every field and the file's own problems here), the timeline of events on the manual
// clock (tests/scenarios/sim/timelines.json: devices, defaults and applications as a Mac has them
// change), and the object IDs the simulation hands out.

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
using namespace sonarill::testing;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::FieldsAre;
using ::testing::HasSubstr;

// The fields the other tests' worlds leave out, as tests/scenarios/sim/every-field.json gives
// them; a missing one takes its default.
TEST(WorldFile, ReadsEveryField) {
    const auto world = readWorldFile(SONARILL_TABLES "/every-field.json");
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
const std::map<std::string, TextCheck> kChecks = {
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
    runTextTable(GetParam(), kChecks);
}
INSTANTIATE_TEST_SUITE_P(World, FileTable,
                         ::testing::ValuesIn(tableFiles(SONARILL_WORLD_FILE_CASES)), tableName);

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

constexpr AudioObjectPropertyAddress kDeviceList{kAudioHardwarePropertyDevices,
                                                 kAudioObjectPropertyScopeGlobal, 0};

// Removing itself while being called must not deadlock; once removed, it is told nothing more.
OSStatus removeItself(AudioObjectID object, UInt32, const AudioObjectPropertyAddress*,
                      void* calls) {
    ++*static_cast<std::atomic<int>*>(calls);
    EXPECT_EQ(AudioObjectRemovePropertyListener(object, &kDeviceList, &removeItself, calls), noErr);
    return noErr;
}

// The rows of tests/scenarios/sim/timelines.json: each starts its world on the manual clock and
// runs its steps, each advancing the clock, then checking what is there. At every step the object
// IDs in use all differ and the clock stands at the sum of the steps; at the end a listener to the
// device list that removed itself when first called has been called once.
class TimelineRows : public ::testing::TestWithParam<DataRow> {};

TEST_P(TimelineRows, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const nlohmann::json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "world", "steps"});
    ScopedSimWorld world(worldFromJSON(row.at("world").dump()), TimelineClock::manual);
    std::atomic<int> calls{0};
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &kDeviceList, &removeItself, &calls), noErr);
    const auto uidOf = [](AudioObjectPropertySelector which) {
        const auto uid = defaultDeviceUID(which);
        return uid ? nlohmann::json(*uid) : nlohmann::json();
    };
    AudioObjectID highest = 0; // of the devices at the start
    for (const Device& device : devices())
        highest = std::max(highest, device.id);
    double seconds = 0;
    for (const nlohmann::json& step : row.at("steps")) {
        SCOPED_TRACE(step.dump());
        advanceTimeline(step.at("advance"));
        EXPECT_DOUBLE_EQ(timelineSeconds(), seconds += step["advance"].get<double>());
        EXPECT_TRUE(objectIDsAllDifferent());
        // What a step can check; a key not here fails.
        nlohmann::json now = {
            {"advance", step["advance"]},
            {"output", uidOf(kAudioHardwarePropertyDefaultOutputDevice)},
            {"systemOutput", uidOf(kAudioHardwarePropertyDefaultSystemOutputDevice)},
            {"uids", nlohmann::json::array()},
            {"newIDs", nlohmann::json::array()},
            {"apps", nlohmann::json::array()}};
        for (const Device& device : devices()) {
            now["uids"].push_back(device.uid);
            if (device.id > highest)
                now["newIDs"].push_back(device.uid);
        }
        for (const App& app : runningApps())
            now["apps"].push_back(app.bundleId);
        for (const auto& [key, expected] : step.items())
            EXPECT_EQ(now.at(key), expected) << key;
    }
    waitForNotifications();
    EXPECT_EQ(calls.load(), 1);
}
INSTANTIATE_TEST_SUITE_P(Timeline, TimelineRows,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/timelines.json")), rowName);

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
