// Injected faults, blocking calls and a hanging audio server.

#include "sim/Control.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>

namespace {

using namespace std::chrono_literals;
using sonarill::sim::Fault;
using sonarill::sim::HalCall;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldFromJSON;

constexpr AudioObjectID kSpeakers = 41;
constexpr AudioObjectID kHeadset = 42;

OSStatus readTransport(AudioObjectID device) {
    const AudioObjectPropertyAddress where{kAudioDevicePropertyTransportType,
                                           kAudioObjectPropertyScopeGlobal, 0};
    UInt32 value = 0;
    UInt32 size = sizeof(value);
    return AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, &value);
}

OSStatus readDeviceListSize() {
    const AudioObjectPropertyAddress where{kAudioHardwarePropertyDevices,
                                           kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    return AudioObjectGetPropertyDataSize(1, &where, 0, nullptr, &size);
}

// Resolves once the simulation has seen a call from another thread, so a test knows that the
// call is in progress before it checks that the call has not returned.
std::future<void> nextCallOn(AudioObjectID object) {
    struct Seen {
        std::promise<void> promise;
        std::once_flag once;
    };
    auto seen = std::make_shared<Seen>();
    auto future = seen->promise.get_future();
    sonarill::sim::setCallHook([seen, object](const sonarill::sim::CallInfo& call) {
        if (call.object == object)
            std::call_once(seen->once, [&] { seen->promise.set_value(); });
    });
    return future;
}

TEST(Faults, StatusFaultMatchesCallDeviceAndSelector) {
    ScopedSimWorld world;
    Fault fault;
    fault.call = HalCall::getPropertyData;
    fault.uid = "BuiltInSpeakerDevice";
    fault.selector = kAudioDevicePropertyTransportType;
    fault.status = kAudioHardwareNotRunningError;
    sonarill::sim::injectFault(fault);

    EXPECT_EQ(readTransport(kSpeakers), kAudioHardwareNotRunningError);
    EXPECT_EQ(readTransport(kHeadset), noErr);
    EXPECT_EQ(readDeviceListSize(), noErr);
    sonarill::sim::clearFaults();
    EXPECT_EQ(readTransport(kSpeakers), noErr);
}

TEST(Faults, WorldFileFaultsApplyFromTheStart) {
    ScopedSimWorld world(worldFromJSON(R"({
        "devices": [{"id": 7, "uid": "A", "name": "A", "outputChannels": 2}],
        "faults": [{"call": "AudioObjectGetPropertyDataSize", "selector": "dev#", "status": -50},
                   {"call": "AudioObjectHasProperty", "uid": "A", "status": "!obj"}]
    })"));
    EXPECT_EQ(readDeviceListSize(), kAudio_ParamError);
    const AudioObjectPropertyAddress uid{kAudioDevicePropertyDeviceUID,
                                         kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_FALSE(AudioObjectHasProperty(7, &uid));
}

TEST(Faults, BlockingFaultBlocksOnlyItsCaller) {
    ScopedSimWorld world;
    Fault fault;
    fault.call = HalCall::getPropertyData;
    fault.uid = "BuiltInSpeakerDevice";
    fault.block = 60s; // ended early by clearFaults below
    sonarill::sim::injectFault(fault);

    auto entered = nextCallOn(kSpeakers);
    auto blocked = std::async(std::launch::async, [] { return readTransport(kSpeakers); });
    entered.wait();
    // Another thread's calls go through while the first one is held.
    EXPECT_EQ(readTransport(kHeadset), noErr);
    EXPECT_EQ(readDeviceListSize(), noErr);
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);

    sonarill::sim::clearFaults();
    EXPECT_EQ(blocked.get(), noErr);
}

TEST(Faults, BlockThenFailReturnsTheStatusAfterTheWait) {
    ScopedSimWorld world;
    Fault fault;
    fault.call = HalCall::getPropertyDataSize;
    fault.block = 1ms;
    fault.status = kAudioHardwareUnspecifiedError;
    sonarill::sim::injectFault(fault);
    EXPECT_EQ(readDeviceListSize(), kAudioHardwareUnspecifiedError);
}

TEST(Faults, HangEventBlocksEveryCallUntilItEnds) {
    ScopedSimWorld world(worldFromJSON(R"({
        "devices": [{"id": 7, "uid": "A", "name": "A", "outputChannels": 2}],
        "events": [{"at": 2, "hang": 60}]
    })"),
                         sonarill::sim::TimelineClock::manual);
    EXPECT_EQ(readTransport(7), noErr);
    sonarill::sim::advanceTimeline(2.0);

    auto entered = nextCallOn(7);
    auto first = std::async(std::launch::async, [] { return readTransport(7); });
    entered.wait();
    auto second = std::async(std::launch::async, [] { return readDeviceListSize(); });
    EXPECT_EQ(first.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);

    sonarill::sim::clearFaults(); // also ends a hang
    EXPECT_EQ(first.get(), noErr);
    EXPECT_EQ(second.get(), noErr);
}

TEST(Faults, ShortHangPassesByItself) {
    ScopedSimWorld world(worldFromJSON(R"({"events": [{"at": 0, "hang": 0.05}]})"),
                         sonarill::sim::TimelineClock::manual);
    sonarill::sim::advanceTimeline(0.0);
    EXPECT_EQ(readDeviceListSize(), noErr);
}

// A listener stuck in a blocked call must not keep a reset (the end of every test) waiting.
TEST(Faults, ResetReleasesAListenerBlockedInACall) {
    ScopedSimWorld world;
    Fault fault;
    fault.call = HalCall::getPropertyData;
    fault.uid = "BuiltInSpeakerDevice";
    fault.block = 3600s;
    sonarill::sim::injectFault(fault);
    std::atomic<OSStatus> listenerStatus{1};
    const auto listener = [](AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                             void* data) -> OSStatus {
        static_cast<std::atomic<OSStatus>*>(data)->store(readTransport(kSpeakers));
        return noErr;
    };
    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal, 0};
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &devices, listener, &listenerStatus), noErr);
    auto entered = nextCallOn(kSpeakers);
    sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0");
    entered.wait();

    auto reset = std::async(std::launch::async, [] {
        return sonarill::sim::resetWorld(sonarill::sim::defaultWorld());
    });
    // A deadlock shows as a reset still waiting long after it should have returned at once.
    if (reset.wait_for(30s) != std::future_status::ready) {
        ADD_FAILURE() << "reset waits for the blocked listener";
        sonarill::sim::clearFaults();
    }
    EXPECT_TRUE(reset.get());
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(listenerStatus.load(), noErr);
}

} // namespace
