// The simulated HAL as Core Audio clients see it: properties, status codes, listeners, and
// injected faults, blocking calls and hangs seen from the callers' threads.

#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sonarill::sim::AudioCall;
using sonarill::sim::Fault;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldFromJSON;
using ::testing::ElementsAre;

using namespace sonarill::testing; // the default world's devices
constexpr auto kOutput = kAudioObjectPropertyScopeOutput;
constexpr auto kDevices = kAudioHardwarePropertyDevices;
constexpr auto kDefaultOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kFrames = kAudioDevicePropertyBufferFrameSize;
constexpr auto kTransport = kAudioDevicePropertyTransportType;
constexpr OSStatus kBadObject = kAudioHardwareBadObjectError;
constexpr OSStatus kUnknown = kAudioHardwareUnknownPropertyError;
constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kIllegal = kAudioHardwareIllegalOperationError;

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector,
                              AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                              AudioObjectPropertyElement element = 0) {
    return {selector, scope, element};
}

OSStatus getUInt32(AudioObjectID object, AudioObjectPropertySelector selector, UInt32& value,
                   UInt32 size = sizeof(UInt32)) {
    const auto where = at(selector);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

OSStatus setUInt32(AudioObjectID object, AudioObjectPropertySelector selector, UInt32 value,
                   UInt32 size = sizeof(UInt32)) {
    const auto where = at(selector);
    const UInt64 data = value; // room for a larger size
    return AudioObjectSetPropertyData(object, &where, 0, nullptr, size, &data);
}

OSStatus readDeviceListSize() {
    const auto where = at(kDevices);
    UInt32 size = 0;
    return AudioObjectGetPropertyDataSize(1, &where, 0, nullptr, &size);
}

OSStatus readTransport(AudioObjectID device) {
    UInt32 value = 0;
    return getUInt32(device, kTransport, value);
}

TEST(HalProperties, SizesAndStatusesFollowObjectScopeAndElement) {
    ScopedSimWorld world;
    const std::tuple<AudioObjectID, AudioObjectPropertyAddress, OSStatus, UInt32> cases[] = {
        {1, at(kDevices), noErr, 5 * 4},
        {1, at(kDevices, kOutput), kUnknown, 0},
        {1, at(kDevices, kAudioObjectPropertyScopeGlobal, 1), kUnknown, 0},
        {kSpeakers, at(kDefaultOutput), kUnknown, 0}, // system properties on the system only
        {0, at(kTransport), kBadObject, 0},
        {kSpeakers, at(sonarill::sim::detail::fourCharCode("snrc")), kUnknown, 0},
        {kMicrophone, at(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput), noErr, 4},
        {kSpeakers, at(kAudioDevicePropertyStreams, kOutput), noErr, 4},
        {kHeadset, at(kAudioDevicePropertyStreams), noErr, 8},
        {kHeadset, at(kAudioDevicePropertyDeviceUID), noErr, sizeof(CFStringRef)},
    };
    for (const auto& [object, where, status, expected] : cases) {
        UInt32 size = 0;
        const auto what = std::to_string(object) + sonarill::sim::fourCharText(where.mSelector);
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
    EXPECT_THAT(ids, ElementsAre(40, 41, 0));
}

TEST(HalProperties, WritesTakeEffectOrAreRefusedAndBadArgumentsAreParameterErrors) {
    ScopedSimWorld world;
    const auto frames = at(kFrames);
    const auto devices = at(kDevices);
    UInt32 value = 0;
    UInt32 four = 4;
    const std::pair<OSStatus, OSStatus> cases[] = {
        {setUInt32(kSpeakers, kFrames, 1024), noErr},
        {setUInt32(kSpeakers, kFrames, 512, 2), kBadSize},
        {setUInt32(kSpeakers, kFrames, 0), kIllegal},
        {setUInt32(kSpeakers, kFrames, 4097), kIllegal},
        {setUInt32(kSpeakers, kTransport, 0), kIllegal},
        {setUInt32(kSpeakers, kAudioDevicePropertyDeviceUID, 0, 8), kIllegal},
        // A microphone cannot become the default output; an unknown device is no device.
        {setUInt32(1, kDefaultOutput, kMicrophone), kIllegal},
        {setUInt32(1, kDefaultOutput, 999), kAudioHardwareBadDeviceError},
        {setUInt32(1, kDefaultOutput, kHeadset), noErr},
        {getUInt32(kSpeakers, kFrames, value, 2), kBadSize},
        {getUInt32(kSpeakers, kAudioDevicePropertyDeviceUID, value, 4), kBadSize},
        {AudioObjectGetPropertyData(kSpeakers, nullptr, 0, nullptr, &four, &value),
         kAudio_ParamError},
        {AudioObjectGetPropertyData(kSpeakers, &frames, 4, nullptr, &four, &value),
         kAudio_ParamError},
        {AudioObjectAddPropertyListener(1, &devices, nullptr, nullptr), kAudio_ParamError},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    const std::tuple<AudioObjectID, AudioObjectPropertySelector, UInt32> reads[] = {
        {kSpeakers, kFrames, 1024},
        {kHeadset, kFrames, 256},
        {kHeadset, kTransport, kAudioDeviceTransportTypeUSB},
        {1, kDefaultOutput, kHeadset},
        {1, kAudioHardwarePropertyDefaultSystemOutputDevice, kSpeakers}, // set separately
    };
    for (const auto& [object, selector, expected] : reads) {
        EXPECT_EQ(getUInt32(object, selector, value), noErr);
        EXPECT_EQ(value, expected) << sonarill::sim::fourCharText(selector);
    }
}

// Records listener calls; the simulation makes them on its own thread.
struct ListenerLog {
    std::mutex mutex;
    std::vector<AudioObjectPropertySelector> selectors;
    const std::thread::id caller = std::this_thread::get_id();

    static OSStatus record(AudioObjectID, UInt32 count, const AudioObjectPropertyAddress* changed,
                           void* data) {
        auto* log = static_cast<ListenerLog*>(data);
        std::lock_guard lock(log->mutex);
        log->selectors.insert(log->selectors.end(), count, changed->mSelector);
        EXPECT_NE(std::this_thread::get_id(), log->caller);
        return noErr;
    }
    size_t count(AudioObjectPropertySelector selector) {
        std::lock_guard lock(mutex);
        return std::count(selectors.begin(), selectors.end(), selector);
    }
};

// Removing itself while being called must not deadlock.
OSStatus removeItself(AudioObjectID object, UInt32, const AudioObjectPropertyAddress*,
                      void* calls) {
    ++*static_cast<std::atomic<int>*>(calls);
    const auto devices = at(kDevices);
    EXPECT_EQ(AudioObjectRemovePropertyListener(object, &devices, &removeItself, calls), noErr);
    return noErr;
}

TEST(HalListeners, ChangesAreAnnouncedOnASimulationThreadUntilRemoved) {
    ScopedSimWorld world;
    ListenerLog log;
    std::atomic<int> calls{0};
    const auto any = at(kAudioObjectPropertySelectorWildcard);
    const auto devices = at(kDevices);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &any, &ListenerLog::record, &log), noErr);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &devices, &removeItself, &calls), noErr);
    // Unplugging the default output moves both defaults to a remaining output.
    EXPECT_TRUE(sonarill::sim::removeDeviceByUID("BuiltInSpeakerDevice"));
    EXPECT_TRUE(sonarill::sim::addDevice({.uid = "Dock", .name = "Dock", .outputChannels = 2}));
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(sonarill::sim::defaultDeviceUID(kDefaultOutput), kHeadsetUID);
    EXPECT_EQ(sonarill::sim::defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice),
              kHeadsetUID);
    EXPECT_EQ(log.count(kDevices), 2u);
    EXPECT_EQ(log.count(kDefaultOutput), 1u);
    EXPECT_EQ(log.count(kAudioHardwarePropertyDefaultSystemOutputDevice), 1u);
    EXPECT_EQ(calls.load(), 1);

    ASSERT_EQ(AudioObjectRemovePropertyListener(1, &any, &ListenerLog::record, &log), noErr);
    EXPECT_TRUE(sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0"));
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(log.count(kDevices), 2u);
    EXPECT_EQ(AudioObjectRemovePropertyListener(1, &any, &ListenerLog::record, &log), kIllegal);
}

// Resolves once the simulation has seen a call on `object`, so a test knows that a call made on
// another thread is in progress before it checks that the call has not returned.
std::future<void> nextCallOn(AudioObjectID object) {
    auto seen = std::make_shared<std::pair<std::promise<void>, std::once_flag>>();
    auto future = seen->first.get_future();
    sonarill::sim::setCallHook([seen, object](const sonarill::sim::CallInfo& call) {
        if (call.object == object)
            std::call_once(seen->second, [&] { seen->first.set_value(); });
    });
    return future;
}

TEST(Faults, StatusFaultsMatchCallDeviceAndSelector) {
    // Faults of the world file apply from the start.
    ScopedSimWorld world(worldFromJSON(R"({
        "devices": [{"id": 7, "uid": "A", "name": "A", "outputChannels": 2},
                    {"id": 8, "uid": "B", "name": "B", "outputChannels": 2}],
        "faults": [{"call": "AudioObjectGetPropertyDataSize", "selector": "dev#", "status": -50},
                   {"call": "AudioObjectHasProperty", "uid": "A", "status": "!obj"},
                   {"call": "AudioObjectGetPropertyData", "uid": "A", "selector": "tran",
                    "status": "stop"}]
    })"));
    const auto uid = at(kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(readDeviceListSize(), kAudio_ParamError);
    EXPECT_FALSE(AudioObjectHasProperty(7, &uid));
    EXPECT_TRUE(AudioObjectHasProperty(8, &uid));
    EXPECT_EQ(readTransport(7), kAudioHardwareNotRunningError);
    EXPECT_EQ(readTransport(8), noErr);

    sonarill::sim::clearFaults();
    EXPECT_EQ(readDeviceListSize(), noErr);
    EXPECT_EQ(readTransport(7), noErr);
    // A fault may block first and then fail.
    sonarill::sim::injectFault({.call = AudioCall::getPropertyDataSize,
                                .status = kAudioHardwareUnspecifiedError,
                                .block = 1ms});
    EXPECT_EQ(readDeviceListSize(), kAudioHardwareUnspecifiedError);
}

TEST(Faults, BlockingFaultsAndHangsAreSeenByCallersOnOtherThreads) {
    ScopedSimWorld world(worldFromJSON(R"({
        "devices": [{"id": 7, "uid": "A", "name": "A", "outputChannels": 2},
                    {"id": 8, "uid": "B", "name": "B", "outputChannels": 2}],
        "faults": [{"call": "AudioObjectGetPropertyData", "uid": "A", "blockMs": 3600000}],
        "events": [{"at": 1, "hang": 0.05}, {"at": 2, "hang": 3600}]
    })"),
                         sonarill::sim::TimelineClock::manual);
    auto entered = nextCallOn(7);
    auto blocked = std::async(std::launch::async, [] { return readTransport(7); });
    entered.wait();
    // Other calls go through while the first one is held.
    EXPECT_EQ(readTransport(8), noErr);
    EXPECT_EQ(readDeviceListSize(), noErr);
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    sonarill::sim::clearFaults(); // ends the block early
    EXPECT_EQ(blocked.get(), noErr);

    sonarill::sim::advanceTimeline(1.0);
    EXPECT_EQ(readDeviceListSize(), noErr); // a short hang passes by itself
    sonarill::sim::advanceTimeline(1.0);
    entered = nextCallOn(8);
    auto first = std::async(std::launch::async, [] { return readTransport(8); });
    entered.wait();
    auto second = std::async(std::launch::async, [] { return readDeviceListSize(); });
    EXPECT_EQ(first.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    sonarill::sim::clearFaults(); // also ends a hang
    EXPECT_EQ(first.get(), noErr);
    EXPECT_EQ(second.get(), noErr);
}

// A listener stuck in a blocked call must not keep a reset (the end of every test) waiting.
TEST(Faults, ResetReleasesAListenerBlockedInACall) {
    ScopedSimWorld world;
    sonarill::sim::injectFault(
        {.call = AudioCall::getPropertyData, .uid = kSpeakersUID, .block = 3600s});
    std::atomic<OSStatus> listenerStatus{1};
    const auto listener = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                             void* data) -> OSStatus {
        static_cast<std::atomic<OSStatus>*>(data)->store(readTransport(kSpeakers));
        return noErr;
    };
    const auto devices = at(kDevices);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &devices, listener, &listenerStatus), noErr);
    auto entered = nextCallOn(kSpeakers);
    EXPECT_TRUE(sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0"));
    entered.wait();

    auto reset = std::async(std::launch::async, [] {
        return sonarill::sim::resetWorld(sonarill::sim::defaultWorld());
    });
    if (reset.wait_for(30s) != std::future_status::ready) {
        ADD_FAILURE() << "reset waits for the blocked listener";
        sonarill::sim::clearFaults();
    }
    EXPECT_TRUE(reset.get());
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(listenerStatus.load(), noErr);
}

} // namespace
