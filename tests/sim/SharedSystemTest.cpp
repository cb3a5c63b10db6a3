// What processes on the simulated machine share: a second program's (sim_peer's) change of the
// default heard here, a joining process that leaves the system as it finds it, and a world that
// keeps the shared state or starts from its own.

#include "platform/Process.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Eventually.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

namespace {

using namespace sonarill;
using namespace sonarill::sim;
using namespace sonarill::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

constexpr auto kOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kSystemOutput = kAudioHardwarePropertyDefaultSystemOutputDevice;
const AudioObjectPropertyAddress kFramesAddress{kAudioDevicePropertyBufferFrameSize,
                                                kAudioObjectPropertyScopeGlobal, 0};

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

// That a joining process sees this one's defaults and sizes and sets them back for this one is
// the guard's tests' to prove; here, that this process hears such a change without a HAL call
// of its own (its poll of the shared state tells the listener), and only once.
TEST(SharedSystem, AnotherProcesssChangeOfTheDefaultIsHeardWithoutAHalCall) {
    unsetenv("SONARILL_SIM_WORLD"); // the peer's world: the default
    ScopedSimWorld world(worldWithDriver(), TimelineClock::realTime);
    ASSERT_TRUE(setDefaultDevice(kOutput, kHDMIUID));
    waitForNotifications(); // this process's own change is not to be heard below
    std::atomic<int> heard{0};
    const AudioObjectPropertyAddress defaultOutput{kOutput, kAudioObjectPropertyScopeGlobal, 0};
    const auto listener = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                             void* counter) {
        ++*static_cast<std::atomic<int>*>(counter);
        return OSStatus(noErr);
    };
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &defaultOutput, listener, &heard), noErr);
    (void)runPeer({"join", "output", kSpeakersUID});
    eventually([&] { return heard != 0; }, 2s);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(defaultDeviceUID(kOutput), kSpeakersUID);
    EXPECT_EQ(AudioObjectRemovePropertyListener(1, &defaultOutput, listener, &heard), noErr);
}

// A joining process's world would remove the plug-in, unplug the speakers and move the default
// output at once; none of that reaches the shared system. A process that starts its own world
// does reset the shared defaults and sizes, as a world without keepSystemState says.
TEST(SharedSystem, AJoiningProcessLeavesTheSystemAsItFindsIt) {
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
    unsetenv("SONARILL_SIM_WORLD");
    EXPECT_EQ(defaultDeviceUID(kOutput), kSpeakersUID) << "the started world's own default";
    EXPECT_EQ(framesOf(kHDMI), 1024u);
}

// A world that keeps the system's state takes the defaults and sizes it finds, but not a default
// naming a device it lacks, nor anything from a damaged file: then its own stand.
TEST(SharedSystem, AWorldKeepsTheSystemsStateOrStartsFromItsOwn) {
    ScopedSimWorld world(worldWithDriver(), TimelineClock::manual);
    const World own = worldWithDriver();
    World keeping = own, without = own;
    keeping.keepSystemState = without.keepSystemState = true;
    std::erase_if(without.devices, [](const Device& device) { return device.uid == kHDMIUID; });
    const struct {
        const char* what;
        const World& world;
        const char* file; // written over the shared state; null: left as this process left it
        std::optional<std::string> output;
        std::optional<UInt32> hdmiFrames; // none: the world has no such device
    } cases[] = {
        {"kept", keeping, nullptr, kHDMIUID, 2048},
        {"a default this world lacks", without, nullptr, std::nullopt, std::nullopt},
        {"empty file", keeping, "", kSpeakersUID, 1024},
        {"broken JSON", keeping, "{", kSpeakersUID, 1024},
        {"not an object", keeping, "[1]", kSpeakersUID, 1024},
        {"a default that is no text", keeping, R"({"defaultOutput": 7})", kSpeakersUID, 1024},
        {"a default without output", keeping, R"({"defaultOutput": "BuiltInMicrophoneDevice"})",
         std::nullopt, 1024},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(resetWorld(own, TimelineClock::manual));
        ASSERT_TRUE(setDefaultDevice(kOutput, kHDMIUID));
        ASSERT_EQ(setFrames(kHDMI, 2048), noErr);
        if (c.file != nullptr)
            std::ofstream(world.dataHome() / "sonarill-sim" / "system.json") << c.file;
        ASSERT_TRUE(resetWorld(c.world, TimelineClock::manual));
        EXPECT_EQ(defaultDeviceUID(kOutput), c.output) << c.what;
        EXPECT_EQ(framesOf(kHDMI), c.hdmiFrames) << c.what;
    }
}

} // namespace
