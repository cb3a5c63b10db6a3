// The shared device lookups against the simulated audio system, failures included.

#include "audio/DeviceLookup.h"
#include "sim/Control.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace sonarill::audio;
using sonarill::sim::Fault;
using sonarill::sim::HalCall;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldFromJSON;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

constexpr AudioObjectID kMicrophone = 40;
constexpr AudioObjectID kSpeakers = 41;

void failCall(HalCall call, std::optional<std::string> uid, AudioObjectPropertySelector selector,
              OSStatus status) {
    Fault fault;
    fault.call = call;
    fault.uid = std::move(uid);
    fault.selector = selector;
    fault.status = status;
    sonarill::sim::injectFault(fault);
}

TEST(DeviceLookup, DefaultWorldAnswers) {
    ScopedSimWorld world;
    EXPECT_THAT(allDeviceIDs(), ElementsAre(40, 41, 42, 43, 44));
    EXPECT_EQ(findDeviceByUID("BuiltInSpeakerDevice"), kSpeakers);
    EXPECT_EQ(deviceUID(kSpeakers), "BuiltInSpeakerDevice");
    EXPECT_EQ(deviceName(kSpeakers), "MacBook Pro Speakers");
    EXPECT_FALSE(findDeviceByUID("builtinspeakerdevice")); // exact, case-sensitive
    EXPECT_FALSE(findDeviceByUID("BuiltInSpeakerDevice "));
    EXPECT_FALSE(findDeviceByUID(kVirtualDeviceUID));
}

TEST(DeviceLookup, DeviceWithoutOutputIsFoundButNotAnOutput) {
    ScopedSimWorld world;
    EXPECT_EQ(findDeviceByUID("BuiltInMicrophoneDevice"), kMicrophone);
    EXPECT_TRUE(hasStreams(kMicrophone, kAudioObjectPropertyScopeInput));
    EXPECT_FALSE(hasStreams(kMicrophone, kAudioObjectPropertyScopeOutput));
    EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 43, 44));
    EXPECT_THAT(currentSystemDeviceUIDs(),
                UnorderedElementsAre("BuiltInSpeakerDevice",
                                     "AppleUSBAudioEngine:Generic:USB Headset:1410000:1",
                                     "LGHDMIDisplay:0", "~:AMS2_StackedOutput:0"));
}

TEST(DeviceLookup, FirstOfDuplicateUIDsWins) {
    ScopedSimWorld world(worldFromJSON(R"({"devices": [
        {"id": 9, "uid": "Twin", "name": "First", "outputChannels": 2},
        {"id": 5, "uid": "Twin", "name": "Second", "outputChannels": 2}
    ]})"));
    EXPECT_EQ(findDeviceByUID("Twin"), 9u);
    EXPECT_THAT(currentSystemDeviceUIDs(), ElementsAre("Twin"));
    EXPECT_TRUE(sonarill::sim::removeDevice(9));
    EXPECT_EQ(findDeviceByUID("Twin"), 5u);
}

TEST(DeviceLookup, ListThatShrinksBeforeTheReadLeavesTrailingZerosThatAreSkipped) {
    ScopedSimWorld world;
    // Unplug the HDMI display between the size query and the read, once.
    std::atomic<bool> unplugged{false};
    sonarill::sim::setCallHook([&](const sonarill::sim::CallInfo& call) {
        if (call.call == HalCall::getPropertyData &&
            call.address.mSelector == kAudioHardwarePropertyDevices && !unplugged.exchange(true))
            sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0");
    });
    EXPECT_THAT(allDeviceIDs(), ElementsAre(40, 41, 42, 44, 0));

    unplugged = false;
    sonarill::sim::addDevice({43, "LGHDMIDisplay:0", "LG HDMI", 0, 0, 2, 512, 0});
    EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 44));

    unplugged = false;
    sonarill::sim::addDevice({43, "LGHDMIDisplay:0", "LG HDMI", 0, 0, 2, 512, 0});
    EXPECT_EQ(findDeviceByUID("~:AMS2_StackedOutput:0"), 44u);

    unplugged = false;
    sonarill::sim::addDevice({43, "LGHDMIDisplay:0", "LG HDMI", 0, 0, 2, 512, 0});
    EXPECT_FALSE(findDeviceByUID("LGHDMIDisplay:0"));
    EXPECT_FALSE(deviceUID(0));
    EXPECT_FALSE(hasStreams(0, kAudioObjectPropertyScopeOutput));
}

TEST(DeviceLookup, FailedEnumerationIsAnEmptyList) {
    ScopedSimWorld world;
    failCall(HalCall::getPropertyDataSize, std::nullopt, kAudioHardwarePropertyDevices,
             kAudioHardwareNotRunningError);
    EXPECT_TRUE(allDeviceIDs().empty());
    EXPECT_TRUE(systemDeviceIDsWithOutput().empty());
    EXPECT_FALSE(findDeviceByUID("BuiltInSpeakerDevice"));

    sonarill::sim::clearFaults();
    failCall(HalCall::getPropertyData, std::nullopt, kAudioHardwarePropertyDevices,
             kAudioHardwareUnspecifiedError);
    EXPECT_TRUE(allDeviceIDs().empty());
    EXPECT_TRUE(currentSystemDeviceUIDs().empty());
}

TEST(DeviceLookup, EmptySystemIsAnEmptyList) {
    ScopedSimWorld world(sonarill::sim::World{});
    EXPECT_TRUE(allDeviceIDs().empty());
    EXPECT_FALSE(findDeviceByUID(""));
}

TEST(DeviceLookup, EveryReadFailureIsAbsenceOrASkip) {
    for (const OSStatus status : {kAudioHardwareBadObjectError, kAudioHardwareUnknownPropertyError,
                                  kAudioHardwareBadPropertySizeError,
                                  kAudioHardwareIllegalOperationError, kAudio_ParamError}) {
        ScopedSimWorld world;
        failCall(HalCall::getPropertyData, "BuiltInSpeakerDevice", kAudioDevicePropertyDeviceUID,
                 status);
        failCall(HalCall::getPropertyData, "BuiltInSpeakerDevice", kAudioObjectPropertyName,
                 status);
        failCall(HalCall::getPropertyDataSize, "LGHDMIDisplay:0", kAudioDevicePropertyStreams,
                 status);
        EXPECT_FALSE(deviceUID(kSpeakers)) << status;
        EXPECT_FALSE(deviceName(kSpeakers)) << status;
        EXPECT_FALSE(findDeviceByUID("BuiltInSpeakerDevice")) << status;
        EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 44)) << status;
        EXPECT_THAT(currentSystemDeviceUIDs(),
                    UnorderedElementsAre("AppleUSBAudioEngine:Generic:USB Headset:1410000:1",
                                         "~:AMS2_StackedOutput:0"))
            << status;
    }
}

TEST(DeviceLookup, VirtualDeviceIsFoundWhenLoaded) {
    ScopedSimWorld world(sonarill::testing::worldWithDriver());
    const auto device = findDeviceByUID(kVirtualDeviceUID);
    ASSERT_TRUE(device);
    const AudioObjectPropertyAddress routeConfig{kRouteConfigPropertySelector,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
    EXPECT_TRUE(AudioObjectHasProperty(*device, &routeConfig));
    EXPECT_TRUE(hasStreams(*device, kAudioObjectPropertyScopeInput));
    EXPECT_EQ(currentSystemDeviceUIDs().count(std::string(kVirtualDeviceUID)), 1u);
}

TEST(FourCharacterCodes, ReadMostSignificantByteFirst) {
    EXPECT_EQ(fourCCString(0x626C746E), "bltn");
    EXPECT_EQ(fourCCString(0x62746C6E), "btln");
    EXPECT_EQ(fourCCString(0x75736220), "usb ");
    EXPECT_EQ(fourCCString(kRouteConfigPropertySelector), "snrc");
    EXPECT_EQ(fourCCString(0), std::string(4, '\0'));
    EXPECT_EQ(fourCCString(0x8000ABCD), "0x8000ABCD");
    EXPECT_EQ(fourCCString(0x616263FF), "0x616263FF");
    EXPECT_EQ(fourCCString(0x7F000001), std::string("\x7F\0\0\x01", 4));
}

TEST(StatusTexts, NamesCodesAndNumbers) {
    EXPECT_EQ(osStatusString(0), "noErr");
    EXPECT_EQ(osStatusString(-10879), "kAudioUnitErr_InvalidProperty");
    EXPECT_EQ(osStatusString(-10874), "kAudioUnitErr_TooManyFramesToProcess");
    EXPECT_EQ(osStatusString(-10868), "kAudioUnitErr_FormatNotSupported");
    EXPECT_EQ(osStatusString(-10867), "kAudioUnitErr_Uninitialized");
    EXPECT_EQ(osStatusString(-10863), "kAudioUnitErr_CannotDoInCurrentContext");
    EXPECT_EQ(osStatusString(0x77686F3F), "who?");
    EXPECT_EQ(osStatusString(kAudioHardwareBadObjectError), "!obj");
    EXPECT_EQ(osStatusString(-50), "-50");
    EXPECT_EQ(osStatusString(0x20202020), "    ");
    EXPECT_EQ(osStatusString(0x7E7E7E7F), "2122219135"); // DEL is not printable
    EXPECT_EQ(osStatusString(0x1F414141), "524370241");
}

} // namespace
