// The simulated HAL as Core Audio clients see it: statuses, sizes and layouts of properties,
// blocking calls and hangs seen from the callers' threads, and what processes on the simulated
// machine share: a second program's (sonarill-sim's) change of the default heard here, a joining
// process that leaves the system as it finds it, and a world that keeps the shared state or starts
// from its own, and the driver in the plug-in folder.

#include "platform/Process.h"
#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/DefaultWorld.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Listening.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace {

using namespace sonarill::testing;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace sim = sonarill::sim;

constexpr auto kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr auto kOutput = kAudioObjectPropertyScopeOutput;
constexpr auto kDevices = kAudioHardwarePropertyDevices;
constexpr auto kDefaultOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kSystemOutput = kAudioHardwarePropertyDefaultSystemOutputDevice;
constexpr auto kFrames = kAudioDevicePropertyBufferFrameSize;
constexpr auto kTransport = kAudioDevicePropertyTransportType;
constexpr auto kUID = kAudioDevicePropertyDeviceUID;
constexpr OSStatus kUnknown = kAudioHardwareUnknownPropertyError;
constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kIllegal = kAudioHardwareIllegalOperationError;

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector,
                              AudioObjectPropertyScope scope = kGlobal, UInt32 element = 0) {
    return {selector, scope, element};
}

OSStatus get(AudioObjectID object, AudioObjectPropertySelector selector, UInt32& value,
             UInt32 size = 4) {
    const auto where = at(selector);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

OSStatus set(AudioObjectID object, AudioObjectPropertySelector selector, UInt32 value,
             UInt32 size = 4) {
    const auto where = at(selector);
    const UInt64 data = value; // room for a larger size
    return AudioObjectSetPropertyData(object, &where, 0, nullptr, size, &data);
}

OSStatus readTransport(AudioObjectID device) {
    UInt32 value = 0;
    return get(device, kTransport, value);
}

OSStatus noListener(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void*) {
    return noErr;
}

TEST(HalProperties, SizesAndStatusesFollowObjectScopeAndElement) {
    ScopedSimWorld world;
    const std::tuple<AudioObjectID, AudioObjectPropertyAddress, OSStatus, UInt32> cases[] = {
        {1, at(kDevices), noErr, 5 * 4},
        {1, at(kDevices, kOutput), kUnknown, 0},
        {1, at(kDevices, kGlobal, 1), kUnknown, 0},
        {kSpeakers, at(kDefaultOutput), kUnknown, 0}, // system properties on the system only
        {0, at(kTransport), kAudioHardwareBadObjectError, 0},
        {kSpeakers, at(sim::detail::fourCharCode("snrc")), kUnknown, 0},
        {kMicrophone, at(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput), noErr, 4},
        {kSpeakers, at(kAudioDevicePropertyStreams, kOutput), noErr, 4},
        {kHeadset, at(kAudioDevicePropertyStreams), noErr, 8},
        {kHeadset, at(kUID), noErr, sizeof(CFStringRef)},
    };
    for (const auto& [object, where, status, expected] : cases) {
        UInt32 size = 0;
        const auto what = std::to_string(object) + sim::fourCharText(where.mSelector);
        EXPECT_EQ(AudioObjectGetPropertyDataSize(object, &where, 0, nullptr, &size), status)
            << what;
        EXPECT_EQ(size, expected) << what;
        EXPECT_EQ(AudioObjectHasProperty(object, &where), status == noErr) << what;
    }
    // A buffer too small for the list is filled as far as it goes, never past its end.
    const auto devices = at(kDevices);
    AudioObjectID ids[3] = {};
    UInt32 size = 2 * sizeof(AudioObjectID) + 3;
    EXPECT_EQ(AudioObjectGetPropertyData(1, &devices, 0, nullptr, &size, ids), noErr);
    EXPECT_EQ(size, 2 * sizeof(AudioObjectID));
    EXPECT_THAT(ids, ::testing::ElementsAre(40, 41, 0));
}

// Writes that take effect are the product's tests' to prove; here, the ones a Mac refuses.
TEST(HalProperties, WritesOutOfRangeAreRefusedAndBadArgumentsAreParameterErrors) {
    ScopedSimWorld world;
    const auto frames = at(kFrames), devices = at(kDevices);
    UInt32 value = 0, four = 4;
    const std::pair<OSStatus, OSStatus> cases[] = {
        {set(kSpeakers, kFrames, 512, 2), kBadSize},
        {set(kSpeakers, kFrames, 0), kIllegal},
        {set(kSpeakers, kFrames, 4097), kIllegal},
        {set(kSpeakers, kTransport, 0), kIllegal},
        // A microphone cannot become the default output; an unknown device is no device.
        {set(1, kDefaultOutput, kMicrophone), kIllegal},
        {set(1, kDefaultOutput, 999), kAudioHardwareBadDeviceError},
        {get(kSpeakers, kFrames, value, 2), kBadSize},
        {get(kSpeakers, kUID, value, 4), kBadSize},
        {AudioObjectGetPropertyData(kSpeakers, nullptr, 0, nullptr, &four, &value),
         kAudio_ParamError},
        {AudioObjectGetPropertyData(kSpeakers, &frames, 4, nullptr, &four, &value),
         kAudio_ParamError},
        {AudioObjectAddPropertyListener(1, &devices, nullptr, nullptr), kAudio_ParamError},
        {AudioObjectRemovePropertyListener(1, &devices, &noListener, nullptr), kIllegal},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    UInt32 output = 0;
    EXPECT_EQ(get(kSpeakers, kFrames, value) + get(1, kDefaultOutput, output), noErr);
    EXPECT_EQ(std::pair(value, output), std::pair(512u, kSpeakers)) << "a refusal changes nothing";
}

AudioObjectID virtualDevice() {
    return deviceID(std::string(sim::kVirtualDeviceUID));
}

OSStatus setRouteConfig(const char* text, UInt32 size = 8) {
    const auto where = at(sim::detail::fourCharCode("snrc"));
    CFStringRef string =
        text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
    const OSStatus status =
        AudioObjectSetPropertyData(virtualDevice(), &where, 0, nullptr, size, &string);
    if (string != nullptr)
        CFRelease(string);
    return status;
}

// An install restarts the server, which numbers its devices anew and loads the driver again; the
// driver starts without a route configuration in a new world and, from what the server stores for
// it, with the last one after a reinstall. A world installs exactly the bundle the build carries.
// That the driver loads a while after the folder changes, that only one that says so has the route
// configuration and that a world without the driver removes it, the installer's and forwarder's
// rows show.
TEST(PluginFolder, AReinstallRestartsTheServerWhichNumbersItsDevicesAnew) {
    sim::World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, sim::TimelineClock::manual);
    const AudioObjectID before = virtualDevice();
    ASSERT_NE(before, kAudioObjectUnknown); // installed at start: loaded with the audio server
    const auto reinstall = [&] {
        ASSERT_TRUE(
            writeDriverBundle(world.halFolder() / "Sonarill.driver", sim::carriedDriverBundle()));
        sim::advanceTimeline(2.0);
    };
    reinstall();
    ASSERT_NE(virtualDevice(), kAudioObjectUnknown);
    EXPECT_NE(virtualDevice(), before);
    EXPECT_FALSE(sim::routeConfigText());
    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # \u00e9\n";
    EXPECT_EQ(setRouteConfig(text.c_str()), noErr);
    EXPECT_EQ(setRouteConfig(nullptr), kIllegal);
    EXPECT_EQ(setRouteConfig("short", 4), kBadSize);
    EXPECT_EQ(sim::routeConfigText(), text);
    reinstall();
    EXPECT_EQ(sim::routeConfigText(), text);

    ASSERT_TRUE(sim::resetWorld(worldWithDriver(), sim::TimelineClock::manual));
    EXPECT_EQ(treeOf(world.halFolder() / "Sonarill.driver"), treeOf(SONARILL_CARRIED_DRIVER_DIR));
    EXPECT_FALSE(sim::routeConfigText());
}

// The audio server loads the bundle's executable and asks the factory its Info.plist names for
// the driver; a bundle where that fails gives no virtual device, until a loadable one replaces it.
TEST(PluginFolder, ABundleWhoseDriverCannotBeLoadedGivesNoDevice) {
    sim::World initial = worldWithDriver();
    initial.plugin.installed = false;
    initial.plugin.loadDelay = 0.5;
    ScopedSimWorld world(initial, sim::TimelineClock::manual);
    const auto bundleWith = [](const std::function<void(sim::DriverBundle&)>& change) {
        sim::DriverBundle bundle = sim::carriedDriverBundle();
        change(bundle);
        return bundle;
    };
    const std::pair<const char*, sim::DriverBundle> cases[] = {
        {"not a library", bundleWith([](auto& b) { b.executable = "old\n"; })},
        {"no factory named", bundleWith([](auto& b) { b.factoryFunction.clear(); })},
        {"a factory it does not export",
         bundleWith([](auto& b) { b.factoryFunction = "NoSuchFactory"; })},
        {"the carried one", sim::carriedDriverBundle()},
    };
    for (const auto& [name, bundle] : cases) {
        ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", bundle));
        sim::checkPluginFolder();
        sim::advanceTimeline(1.0);
        EXPECT_EQ(virtualDevice() != kAudioObjectUnknown, name == cases[3].first) << name;
    }
}

// The virtual device is its driver's: the driver answers what it has, in the HAL's object IDs,
// the HAL its own buffer frame size; the property the driver says changed reaches listeners.
TEST(PluginFolder, TheDriverAnswersTheVirtualDevicesProperties) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    const AudioObjectID device = virtualDevice();
    ASSERT_NE(device, kAudioObjectUnknown);
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    const auto nominalRate = at(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &nominalRate, 0, nullptr, &size, &rate), noErr);
    EXPECT_EQ(rate, 48000.0);
    AudioObjectID streams[2] = {};
    size = sizeof streams;
    const auto input = at(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &input, 0, nullptr, &size, streams), noErr);
    EXPECT_EQ(size, sizeof(AudioObjectID));
    EXPECT_GT(streams[0], device) << "the HAL's ID, not the driver's";
    UInt32 frames = 0;
    EXPECT_EQ(set(device, kFrames, 1024) + get(device, kFrames, frames), noErr);
    EXPECT_EQ(frames, 1024u);
    Boolean settable = false;
    const auto routeConfig = at(sim::detail::fourCharCode("snrc"));
    EXPECT_EQ(AudioObjectIsPropertySettable(device, &routeConfig, &settable), noErr);
    EXPECT_TRUE(settable);

    std::atomic<int> heard = 0;
    const auto count = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
        ++*static_cast<std::atomic<int>*>(data);
        return OSStatus(noErr);
    };
    ASSERT_EQ(AudioObjectAddPropertyListener(device, &routeConfig, count, &heard), noErr);
    EXPECT_EQ(setRouteConfig("devices:\n  - uid: \"A\"\n"), noErr);
    sim::waitForNotifications();
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(AudioObjectRemovePropertyListener(device, &routeConfig, count, &heard), noErr);
}

// Resolves once the simulation has seen a call on `object`, so a test knows that a call made on
// another thread is in progress before it checks that the call has not returned.
std::future<void> nextCallOn(AudioObjectID object) {
    auto seen = std::make_shared<std::pair<std::promise<void>, std::once_flag>>();
    auto future = seen->first.get_future();
    sim::setCallHook([seen, object](const sim::CallInfo& call) {
        if (call.object == object)
            std::call_once(seen->second, [&] { seen->first.set_value(); });
    });
    return future;
}

// A blocked call holds only its caller until faults are cleared; a hang holds every caller until
// it ends by itself or faults are cleared. A fault may block first and then fail. Which calls a
// fault hits, the product's tests show with the faults they inject.
TEST(Faults, BlocksHoldOnlyTheirCallerAndHangsHoldEveryCaller) {
    sim::World hanging = sim::defaultWorld();
    hanging.events = {{.at = 1, .kind = sim::EventKind::hang, .seconds = 0.05},
                      {.at = 2, .kind = sim::EventKind::hang, .seconds = 3600}};
    ScopedSimWorld world(hanging, sim::TimelineClock::manual);
    sim::injectFault({.call = sim::AudioCall::getPropertyData, .uid = kHDMIUID, .block = 3600s});
    auto entered = nextCallOn(kHDMI);
    auto blocked = std::async(std::launch::async, [] { return readTransport(kHDMI); });
    entered.wait();
    EXPECT_EQ(readTransport(kSpeakers), noErr); // other calls go through while the first is held
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    sim::clearFaults(); // ends the block early
    EXPECT_EQ(blocked.get(), noErr);
    sim::injectFault({.call = sim::AudioCall::getPropertyData, .status = -1, .block = 1ms});
    EXPECT_EQ(readTransport(kSpeakers), -1);
    sim::clearFaults();

    sim::advanceTimeline(1.0);
    EXPECT_EQ(readTransport(kSpeakers), noErr); // a short hang passes by itself
    sim::advanceTimeline(1.0);
    entered = nextCallOn(kSpeakers);
    auto first = std::async(std::launch::async, [] { return readTransport(kSpeakers); });
    entered.wait();
    auto second = std::async(std::launch::async, [] { return readTransport(kHDMI); });
    EXPECT_EQ(first.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    sim::clearFaults(); // also ends a hang
    EXPECT_EQ(first.get(), noErr);
    EXPECT_EQ(second.get(), noErr);
}

// MARK: What processes share

std::optional<UInt32> framesOf(AudioObjectID device) {
    UInt32 frames = 0;
    return get(device, kFrames, frames) == noErr ? std::optional(frames) : std::nullopt;
}

// What sonarill-sim reported; fails the test when it did not run to its end.
std::string runPeer(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), SONARILL_SIM_TOOL);
    const sonarill::platform::ProgramResult result = sonarill::platform::runProgram(arguments);
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    return result.standardError;
}

// That a joining process sees this one's defaults and sizes and sets them back for this one is
// the guard's tests' to prove; here, that this process hears such a change without a HAL call
// of its own (its poll of the shared state tells the listener), and only once.
TEST(SharedSystem, AnotherProcesssChangeOfTheDefaultIsHeardWithoutAHalCall) {
    unsetenv("SONARILL_SIM_WORLD"); // the peer's world: the default
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::realTime);
    ASSERT_TRUE(sim::setDefaultDevice(kDefaultOutput, kHDMIUID));
    sim::waitForNotifications(); // this process's own change is not to be heard below
    std::atomic<int> heard{0};
    const AudioObjectPropertyAddress defaultOutput{kDefaultOutput, kAudioObjectPropertyScopeGlobal,
                                                   0};
    const auto listener = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                             void* counter) {
        ++*static_cast<std::atomic<int>*>(counter);
        return OSStatus(noErr);
    };
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &defaultOutput, listener, &heard), noErr);
    (void)runPeer({"join", "output", kSpeakersUID});
    eventually([&] { return heard != 0; }, 2s);
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), kSpeakersUID);
    EXPECT_EQ(AudioObjectRemovePropertyListener(1, &defaultOutput, listener, &heard), noErr);
}

// A joining process's world would remove the plug-in, unplug the speakers and move the default
// output at once; none of that reaches the shared system. A process that starts its own world
// does reset the shared defaults and sizes, as a world without keepSystemState says.
TEST(SharedSystem, AJoiningProcessLeavesTheSystemAsItFindsIt) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    ASSERT_TRUE(sim::setDefaultDevice(kDefaultOutput, "Sonarill_OutputDevice"));
    ASSERT_EQ(set(kHDMI, kFrames, 512), noErr);
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
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), "Sonarill_OutputDevice");
    EXPECT_EQ(sim::defaultDeviceUID(kSystemOutput), kSpeakersUID);
    EXPECT_EQ(framesOf(kHDMI), 512u);

    // The plug-in goes: the peer's virtual device goes with it and its default moves, but moving
    // the system's default is the running process's part.
    EXPECT_THAT(runPeer({"join", "remove-driver", "print"}),
                HasSubstr("output=BuiltInSpeakerDevice system=BuiltInSpeakerDevice\n"));
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), "Sonarill_OutputDevice");

    (void)runPeer({"start"});
    unsetenv("SONARILL_SIM_WORLD");
    EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), kSpeakersUID)
        << "the started world's own default";
    EXPECT_EQ(framesOf(kHDMI), 1024u);
}

// A world that keeps the system's state takes the defaults and sizes it finds, but not a default
// naming a device it lacks, nor anything from a damaged file: then its own stand.
TEST(SharedSystem, AWorldKeepsTheSystemsStateOrStartsFromItsOwn) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    const sim::World own = worldWithDriver();
    sim::World keeping = own, without = own;
    keeping.keepSystemState = without.keepSystemState = true;
    std::erase_if(without.devices,
                  [](const sim::Device& device) { return device.uid == kHDMIUID; });
    const struct {
        const char* what;
        const sim::World& world;
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
        ASSERT_TRUE(sim::resetWorld(own, sim::TimelineClock::manual));
        ASSERT_TRUE(sim::setDefaultDevice(kDefaultOutput, kHDMIUID));
        ASSERT_EQ(set(kHDMI, kFrames, 2048), noErr);
        if (c.file != nullptr)
            std::ofstream(world.dataHome() / "sonarill-sim" / "system.json") << c.file;
        ASSERT_TRUE(sim::resetWorld(c.world, sim::TimelineClock::manual));
        EXPECT_EQ(sim::defaultDeviceUID(kDefaultOutput), c.output) << c.what;
        EXPECT_EQ(framesOf(kHDMI), c.hdmiFrames) << c.what;
    }
}

} // namespace
