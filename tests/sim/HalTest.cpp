// The simulated HAL's properties and status codes, as Core Audio clients see them.

#include "sim/Control.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using sonarill::testing::ScopedSimWorld;
using ::testing::ElementsAre;

constexpr AudioObjectID kMicrophone = 40;
constexpr AudioObjectID kSpeakers = 41;
constexpr AudioObjectID kHeadset = 42;

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                   AudioObjectPropertyElement element = 0) {
    return {selector, scope, element};
}

OSStatus getUInt32(AudioObjectID object, AudioObjectPropertySelector selector, UInt32& value) {
    const auto where = address(selector);
    UInt32 size = sizeof(value);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

OSStatus setUInt32(AudioObjectID object, AudioObjectPropertySelector selector, UInt32 value) {
    const auto where = address(selector);
    return AudioObjectSetPropertyData(object, &where, 0, nullptr, sizeof(value), &value);
}

std::string getString(AudioObjectID object, AudioObjectPropertySelector selector) {
    const auto where = address(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof(string);
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &string), noErr);
    EXPECT_EQ(size, sizeof(CFStringRef));
    char text[256] = {};
    EXPECT_TRUE(CFStringGetCString(string, text, sizeof(text), kCFStringEncodingUTF8));
    CFRelease(string); // the caller owns it; a leak fails the sanitizer run
    return text;
}

UInt32 dataSize(AudioObjectID object, AudioObjectPropertyAddress where) {
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(object, &where, 0, nullptr, &size), noErr);
    return size;
}

std::vector<AudioObjectID> deviceList() {
    const auto where = address(kAudioHardwarePropertyDevices);
    std::vector<AudioObjectID> ids(dataSize(kAudioObjectSystemObject, where) / 4);
    UInt32 size = static_cast<UInt32>(ids.size() * 4);
    EXPECT_EQ(
        AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size, ids.data()),
        noErr);
    return ids;
}

TEST(HalProperties, SystemObjectListsDevicesAndDefaults) {
    ScopedSimWorld world;
    EXPECT_THAT(deviceList(), ElementsAre(40, 41, 42, 43, 44));
    UInt32 device = 0;
    EXPECT_EQ(
        getUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, device),
        noErr);
    EXPECT_EQ(device, kSpeakers);
    EXPECT_EQ(getUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice,
                        device),
              noErr);
    EXPECT_EQ(device, kSpeakers);
}

TEST(HalProperties, DeviceListReadIntoSmallerBufferIsCutShort) {
    ScopedSimWorld world;
    const auto where = address(kAudioHardwarePropertyDevices);
    AudioObjectID ids[3] = {};
    UInt32 size = 2 * sizeof(AudioObjectID) + 3;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size, ids),
              noErr);
    EXPECT_EQ(size, 2 * sizeof(AudioObjectID));
    EXPECT_THAT(ids, ElementsAre(40, 41, 0));
}

TEST(HalProperties, DevicesAnswerTheirProperties) {
    ScopedSimWorld world;
    EXPECT_EQ(getString(kHeadset, kAudioDevicePropertyDeviceUID),
              "AppleUSBAudioEngine:Generic:USB Headset:1410000:1");
    EXPECT_EQ(getString(kHeadset, kAudioObjectPropertyName), "USB Headset");
    UInt32 value = 0;
    EXPECT_EQ(getUInt32(kHeadset, kAudioDevicePropertyTransportType, value), noErr);
    EXPECT_EQ(value, kAudioDeviceTransportTypeUSB);
    EXPECT_EQ(getUInt32(kHeadset, kAudioDevicePropertyBufferFrameSize, value), noErr);
    EXPECT_EQ(value, 256u);
    EXPECT_EQ(getUInt32(44, kAudioDevicePropertyTransportType, value), noErr);
    EXPECT_EQ(value, kAudioDeviceTransportTypeAggregate);
}

TEST(HalProperties, StreamSizeFollowsTheScope) {
    ScopedSimWorld world;
    const auto output = address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput);
    const auto input = address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    const auto global = address(kAudioDevicePropertyStreams);
    EXPECT_EQ(dataSize(kMicrophone, output), 0u);
    EXPECT_EQ(dataSize(kMicrophone, input), 4u);
    EXPECT_EQ(dataSize(kSpeakers, output), 4u);
    EXPECT_EQ(dataSize(kSpeakers, input), 0u);
    EXPECT_EQ(dataSize(kHeadset, global), 8u);
}

TEST(HalProperties, SettablePropertiesTakeEffectAndReadBack) {
    ScopedSimWorld world;
    EXPECT_EQ(setUInt32(kSpeakers, kAudioDevicePropertyBufferFrameSize, 1024), noErr);
    UInt32 value = 0;
    EXPECT_EQ(getUInt32(kSpeakers, kAudioDevicePropertyBufferFrameSize, value), noErr);
    EXPECT_EQ(value, 1024u);

    EXPECT_EQ(
        setUInt32(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, kHeadset),
        noErr);
    EXPECT_EQ(sonarill::sim::defaultOutputUID(),
              "AppleUSBAudioEngine:Generic:USB Headset:1410000:1");
    EXPECT_EQ(sonarill::sim::defaultSystemOutputUID(), "BuiltInSpeakerDevice");

    Boolean settable = false;
    const auto uid = address(kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(AudioObjectIsPropertySettable(kSpeakers, &uid, &settable), noErr);
    EXPECT_FALSE(settable);
    const auto frames = address(kAudioDevicePropertyBufferFrameSize);
    EXPECT_EQ(AudioObjectIsPropertySettable(kSpeakers, &frames, &settable), noErr);
    EXPECT_TRUE(settable);
}

TEST(HalStatus, UnknownObjectsAndProperties) {
    ScopedSimWorld world;
    UInt32 value = 0;
    EXPECT_EQ(getUInt32(0, kAudioDevicePropertyTransportType, value), kAudioHardwareBadObjectError);
    EXPECT_EQ(getUInt32(999, kAudioDevicePropertyTransportType, value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(getUInt32(kSpeakers, sonarill::sim::detail::fourCharCode("zzzz"), value),
              kAudioHardwareUnknownPropertyError);
    // System properties live on the system object only, on the global scope and main element.
    EXPECT_EQ(getUInt32(kSpeakers, kAudioHardwarePropertyDefaultOutputDevice, value),
              kAudioHardwareUnknownPropertyError);
    const auto outputScope =
        address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeOutput);
    const auto element1 =
        address(kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, 1);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(1, &outputScope, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(1, &element1, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(AudioObjectHasProperty(999, &outputScope));
    const auto uid = address(kAudioDevicePropertyDeviceUID);
    EXPECT_TRUE(AudioObjectHasProperty(kSpeakers, &uid));
}

TEST(HalStatus, BadSizesRefusedWritesAndBadParameters) {
    ScopedSimWorld world;
    const auto frames = address(kAudioDevicePropertyBufferFrameSize);
    UInt16 small = 512;
    EXPECT_EQ(AudioObjectSetPropertyData(kSpeakers, &frames, 0, nullptr, sizeof(small), &small),
              kAudioHardwareBadPropertySizeError);
    UInt32 size = 2;
    UInt32 value = 0;
    EXPECT_EQ(AudioObjectGetPropertyData(kSpeakers, &frames, 0, nullptr, &size, &value),
              kAudioHardwareBadPropertySizeError);
    const auto uid = address(kAudioDevicePropertyDeviceUID);
    CFStringRef string = nullptr;
    size = 4;
    EXPECT_EQ(AudioObjectGetPropertyData(kSpeakers, &uid, 0, nullptr, &size, &string),
              kAudioHardwareBadPropertySizeError);

    EXPECT_EQ(setUInt32(kSpeakers, kAudioDevicePropertyTransportType, 0),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setUInt32(kSpeakers, kAudioDevicePropertyBufferFrameSize, 0),
              kAudioHardwareIllegalOperationError);
    // A microphone cannot become the default output; an unknown device is no device.
    EXPECT_EQ(setUInt32(1, kAudioHardwarePropertyDefaultOutputDevice, kMicrophone),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(setUInt32(1, kAudioHardwarePropertyDefaultOutputDevice, 999),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(sonarill::sim::defaultOutputUID(), "BuiltInSpeakerDevice");

    EXPECT_EQ(AudioObjectGetPropertyData(kSpeakers, nullptr, 0, nullptr, &size, &value),
              kAudio_ParamError);
    EXPECT_EQ(AudioObjectGetPropertyData(kSpeakers, &frames, 0, nullptr, nullptr, &value),
              kAudio_ParamError);
    EXPECT_EQ(AudioObjectGetPropertyData(kSpeakers, &frames, 4, nullptr, &size, &value),
              kAudio_ParamError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kSpeakers, &frames, 0, nullptr, nullptr),
              kAudio_ParamError);
    EXPECT_EQ(AudioObjectSetPropertyData(kSpeakers, &frames, 0, nullptr, 4, nullptr),
              kAudio_ParamError);
}

// Collects listener calls; the simulation calls it on its own thread.
struct ListenerLog {
    std::mutex mutex;
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> calls;
    std::vector<std::thread::id> threads;

    static OSStatus record(AudioObjectID object, UInt32 count,
                           const AudioObjectPropertyAddress* addresses, void* data) {
        auto* log = static_cast<ListenerLog*>(data);
        std::lock_guard lock(log->mutex);
        for (UInt32 i = 0; i < count; ++i)
            log->calls.emplace_back(object, addresses[i].mSelector);
        log->threads.push_back(std::this_thread::get_id());
        return noErr;
    }
    size_t count(AudioObjectPropertySelector selector) {
        std::lock_guard lock(mutex);
        size_t n = 0;
        for (const auto& call : calls)
            n += call.second == selector ? 1 : 0;
        return n;
    }
};

TEST(HalListeners, DeviceListChangesAreAnnouncedOnASimulationThread) {
    ScopedSimWorld world;
    ListenerLog log;
    const auto devices = address(kAudioHardwarePropertyDevices);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &devices, &ListenerLog::record, &log), noErr);

    const auto added = sonarill::sim::addDevice({0, "Dock", "Dock", 0, 0, 2, 512, 0});
    ASSERT_TRUE(added);
    EXPECT_TRUE(sonarill::sim::removeDevice(*added));
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(log.count(kAudioHardwarePropertyDevices), 2u);
    EXPECT_NE(log.threads.front(), std::this_thread::get_id());

    ASSERT_EQ(AudioObjectRemovePropertyListener(1, &devices, &ListenerLog::record, &log), noErr);
    EXPECT_TRUE(sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0"));
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(log.count(kAudioHardwarePropertyDevices), 2u);
    EXPECT_EQ(AudioObjectRemovePropertyListener(1, &devices, &ListenerLog::record, &log),
              kAudioHardwareIllegalOperationError);
}

TEST(HalListeners, UnpluggingTheDefaultMovesItAndAnnouncesBoth) {
    ScopedSimWorld world;
    ListenerLog log;
    const auto any = address(kAudioObjectPropertySelectorWildcard);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &any, &ListenerLog::record, &log), noErr);
    EXPECT_TRUE(sonarill::sim::removeDeviceByUID("BuiltInSpeakerDevice"));
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(sonarill::sim::defaultOutputUID(),
              "AppleUSBAudioEngine:Generic:USB Headset:1410000:1");
    EXPECT_EQ(log.count(kAudioHardwarePropertyDevices), 1u);
    EXPECT_EQ(log.count(kAudioHardwarePropertyDefaultOutputDevice), 1u);
    EXPECT_EQ(log.count(kAudioHardwarePropertyDefaultSystemOutputDevice), 1u);
}

TEST(HalListeners, RegistrationErrors) {
    ScopedSimWorld world;
    ListenerLog log;
    const auto devices = address(kAudioHardwarePropertyDevices);
    const auto unknown = address(sonarill::sim::detail::fourCharCode("zzzz"));
    EXPECT_EQ(AudioObjectAddPropertyListener(999, &devices, &ListenerLog::record, &log),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectAddPropertyListener(1, &unknown, &ListenerLog::record, &log),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioObjectAddPropertyListener(1, &devices, nullptr, &log), kAudio_ParamError);
    EXPECT_EQ(AudioObjectAddPropertyListener(1, nullptr, &ListenerLog::record, &log),
              kAudio_ParamError);
}

// A listener that removes itself while being called must not deadlock, and a remove from
// another thread waits for a call in progress, so the client data can be freed right after.
struct SelfRemovingListener {
    std::atomic<int> calls{0};
    static OSStatus call(AudioObjectID object, UInt32, const AudioObjectPropertyAddress*,
                         void* data) {
        auto* self = static_cast<SelfRemovingListener*>(data);
        ++self->calls;
        const auto devices = address(kAudioHardwarePropertyDevices);
        EXPECT_EQ(AudioObjectRemovePropertyListener(object, &devices, &call, data), noErr);
        return noErr;
    }
};

TEST(HalListeners, ListenerMayRemoveItselfWhileCalled) {
    ScopedSimWorld world;
    SelfRemovingListener listener;
    const auto devices = address(kAudioHardwarePropertyDevices);
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &devices, &SelfRemovingListener::call, &listener),
              noErr);
    sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0");
    sonarill::sim::removeDeviceByUID("~:AMS2_StackedOutput:0");
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(listener.calls.load(), 1);
}

} // namespace
