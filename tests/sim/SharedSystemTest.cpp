// What processes on the simulated machine share: the default outputs and the buffer frame sizes,
// seen by a second program (sim_peer) as this one left them, and the other way round.

#include "platform/Process.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace {

using namespace sonarill;
using namespace sonarill::sim;
using namespace sonarill::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kSystemOutput = kAudioHardwarePropertyDefaultSystemOutputDevice;
const AudioObjectPropertyAddress kFramesAddress{kAudioDevicePropertyBufferFrameSize,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};

std::optional<UInt32> framesOf(AudioObjectID device) {
    UInt32 frames = 0, size = sizeof frames;
    if (AudioObjectGetPropertyData(device, &kFramesAddress, 0, nullptr, &size, &frames) != noErr)
        return std::nullopt;
    return frames;
}

OSStatus setFrames(AudioObjectID device, UInt32 frames) {
    return AudioObjectSetPropertyData(device, &kFramesAddress, 0, nullptr, sizeof frames, &frames);
}

// What sim_peer reported; fails the test when it did not run to its end.
std::string runPeer(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), SONARILL_SIM_PEER);
    const platform::ProgramResult result = platform::runProgram(arguments);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    return result.standardError;
}

class SharedSystem : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("SONARILL_SIM_WORLD"); } // the peer's world: the default
};

TEST_F(SharedSystem, AJoiningProcessSeesThisOnesStateAndThisOneHearsItsChanges) {
    ScopedSimWorld world(worldWithDriver(), TimelineClock::realTime);
    ASSERT_TRUE(setDefaultDevice(kOutput, kHDMIUID));
    ASSERT_EQ(setFrames(kHeadset, 1024), noErr);
    std::atomic<int> heard{0};
    const AudioObjectPropertyAddress defaultOutput{kOutput, kAudioObjectPropertyScopeGlobal,
                                                   kAudioObjectPropertyElementMain};
    const auto listener = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                             void* counter) {
        ++*static_cast<std::atomic<int>*>(counter);
        return OSStatus(noErr);
    };
    ASSERT_EQ(
        AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput, listener, &heard),
        noErr);

    const std::string seen = runPeer({"join", "print", "output", kSpeakersUID, "system",
                                      "Sonarill_OutputDevice", "frames", kHDMIUID, "2048"});
    EXPECT_THAT(seen, HasSubstr("output=" + std::string(kHDMIUID) + " system=" + kSpeakersUID));
    EXPECT_THAT(seen, HasSubstr(std::string(kHeadsetUID) + "=1024\n"));

    // Without a HAL call of this process: its poll of the shared state tells the listener.
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (heard == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(defaultDeviceUID(kOutput), kSpeakersUID);
    EXPECT_EQ(defaultDeviceUID(kSystemOutput), "Sonarill_OutputDevice");
    EXPECT_EQ(framesOf(kHDMI), 2048u);
    EXPECT_EQ(framesOf(kHeadset), 1024u);
    EXPECT_EQ(AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &defaultOutput, listener,
                                                &heard),
              noErr);
}

// A joining process's world would remove the plug-in, unplug the speakers and move the default
// output at once; none of that reaches the shared system. A process that starts its own world
// does reset the shared defaults and sizes, as a world without keepSystemState says.
TEST_F(SharedSystem, AJoiningProcessLeavesTheSystemAsItFindsIt) {
    ScopedSimWorld world(worldWithDriver(), TimelineClock::manual);
    ASSERT_TRUE(setDefaultDevice(kOutput, "Sonarill_OutputDevice"));
    ASSERT_EQ(setFrames(kHDMI, 512), noErr);
    const auto worldFile = world.dataHome() / "peer-world.json";
    std::ofstream(worldFile) << R"({
        "devices": [
            {"id": 41, "uid": "BuiltInSpeakerDevice", "name": "Speakers", "outputChannels": 2},
            {"id": 43, "uid": "LGHDMIDisplay:0", "name": "LG HDMI", "outputChannels": 2,
             "bufferFrameSize": 1024}],
        "plugin": {"installed": false},
        "events": [{"at": 0, "unplug": "BuiltInSpeakerDevice"},
                   {"at": 0, "setDefaultOutput": "LGHDMIDisplay:0"}]})";
    setenv("SONARILL_SIM_WORLD", worldFile.c_str(), 1);

    EXPECT_THAT(runPeer({"join", "wait", "0.2", "print"}),
                HasSubstr("output=Sonarill_OutputDevice system=BuiltInSpeakerDevice\n"));
    EXPECT_TRUE(std::filesystem::exists(world.halFolder() / "Sonarill.driver"));
    EXPECT_EQ(defaultDeviceUID(kOutput), "Sonarill_OutputDevice");
    EXPECT_EQ(defaultDeviceUID(kSystemOutput), kSpeakersUID);
    EXPECT_EQ(framesOf(kHDMI), 512u);

    // The plug-in goes: the peer's virtual device goes with it and its default moves, but moving
    // the system's default is the running process's part.
    EXPECT_THAT(runPeer({"join", "remove-driver", "print"}),
                HasSubstr("output=BuiltInSpeakerDevice system=BuiltInSpeakerDevice\n"));
    EXPECT_EQ(defaultDeviceUID(kOutput), "Sonarill_OutputDevice");

    (void)runPeer({"start"});
    EXPECT_EQ(defaultDeviceUID(kOutput), kSpeakersUID) << "the started world's own default";
    EXPECT_EQ(framesOf(kHDMI), 1024u);
}

TEST_F(SharedSystem, AWorldKeepsTheSystemsStateOrStartsFromItsOwn) {
    ScopedSimWorld world(worldWithDriver(), TimelineClock::manual);
    ASSERT_TRUE(setDefaultDevice(kOutput, kHDMIUID));
    ASSERT_EQ(setFrames(kHDMI, 2048), noErr);
    World keeping = worldWithDriver();
    keeping.keepSystemState = true;
    ASSERT_TRUE(resetWorld(keeping, TimelineClock::manual));
    EXPECT_EQ(defaultDeviceUID(kOutput), kHDMIUID);
    EXPECT_EQ(defaultDeviceUID(kSystemOutput), kSpeakersUID);
    EXPECT_EQ(framesOf(kHDMI), 2048u);

    // A default that names a device this world lacks is no default.
    World without = keeping;
    std::erase_if(without.devices, [](const Device& device) { return device.uid == kHDMIUID; });
    ASSERT_TRUE(resetWorld(without, TimelineClock::manual));
    EXPECT_FALSE(defaultDeviceUID(kOutput));

    // Garbage in the shared file is no state: the world's own stand.
    for (const std::string garbage : {"", "{", "[1]", R"({"defaultOutput": 7})"}) {
        std::ofstream(world.dataHome() / "sonarill-sim" / "system.json", std::ios::trunc)
            << garbage;
        ASSERT_TRUE(resetWorld(keeping, TimelineClock::manual));
        EXPECT_EQ(defaultDeviceUID(kOutput), kSpeakersUID) << garbage;
        EXPECT_EQ(framesOf(kHDMI), 1024u) << garbage;
    }

    ASSERT_TRUE(setDefaultDevice(kOutput, kHDMIUID));
    ASSERT_TRUE(resetWorld(worldWithDriver(), TimelineClock::manual));
    EXPECT_EQ(defaultDeviceUID(kOutput), kSpeakersUID);
    EXPECT_TRUE(parseWorld(R"({"keepSystemState": true})")->keepSystemState);
    EXPECT_FALSE(parseWorld(R"({"keepSystemState": 1})"));
}

} // namespace
