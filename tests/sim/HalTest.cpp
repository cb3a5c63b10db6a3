// The simulated HAL as Core Audio clients see it: statuses, sizes and layouts of properties, the
// virtual device as the plug-in folder's driver makes it, and blocking calls and hangs seen from
// the callers' threads.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/DefaultWorld.h"
#include "support/FileBytes.h"
#include "support/Listening.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>

namespace {

using namespace std::chrono_literals;
using namespace sonarill::testing;
namespace sim = sonarill::sim;

constexpr auto kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr auto kOutput = kAudioObjectPropertyScopeOutput;
constexpr auto kDevices = kAudioHardwarePropertyDevices;
constexpr auto kDefaultOutput = kAudioHardwarePropertyDefaultOutputDevice;
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

// The server loads the driver a while after the folder changes; an install restarts the server,
// which numbers its devices anew. Only a driver that says so has the route configuration
// property, and a world without the driver removes it.
TEST(PluginFolder, ReinstallRestartsTheServerAndOnlyADriverWithRouteConfigurationKeepsIt) {
    sim::World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, sim::TimelineClock::manual);
    const AudioObjectID before = virtualDevice();
    ASSERT_NE(before, kAudioObjectUnknown); // installed at start: loaded with the audio server
    EXPECT_EQ(setRouteConfig("x"), kUnknown);
    ASSERT_TRUE(
        writeDriverBundle(world.halFolder() / "Sonarill.driver", sim::carriedDriverBundle()));
    sim::advanceTimeline(1.0);
    EXPECT_EQ(virtualDevice(), kAudioObjectUnknown);
    sim::advanceTimeline(1.0);
    ASSERT_NE(virtualDevice(), kAudioObjectUnknown);
    EXPECT_NE(virtualDevice(), before);
    EXPECT_FALSE(sim::routeConfigText());
    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # \u00e9\n";
    EXPECT_EQ(setRouteConfig(text.c_str()), noErr);
    EXPECT_EQ(setRouteConfig(nullptr), kAudio_ParamError);
    EXPECT_EQ(setRouteConfig("short", 4), kBadSize);
    EXPECT_EQ(sim::routeConfigText(), text);

    // A world installs exactly the bundle the build carries, and one without it removes it.
    ASSERT_TRUE(sim::resetWorld(worldWithDriver(), sim::TimelineClock::manual));
    EXPECT_EQ(treeOf(world.halFolder() / "Sonarill.driver"), treeOf(SONARILL_CARRIED_DRIVER_DIR));
    ASSERT_TRUE(sim::resetWorld(sim::defaultWorld(), sim::TimelineClock::manual));
    EXPECT_FALSE(std::filesystem::exists(world.halFolder() / "Sonarill.driver"));
    EXPECT_EQ(virtualDevice(), kAudioObjectUnknown);
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

} // namespace
