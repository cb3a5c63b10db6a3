// The shared device lookups against the simulated audio system, failures included.

#include "audio/DeviceLookup.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace sonarill::audio;
using sonarill::sim::AudioCall;
using sonarill::testing::ScopedSimWorld;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

using namespace sonarill::testing; // the default world's devices

void failCall(AudioCall call, std::optional<std::string> uid, AudioObjectPropertySelector selector,
              OSStatus status) {
    sonarill::sim::injectFault(
        {.call = call, .uid = std::move(uid), .selector = selector, .status = status});
}

TEST(DeviceLookup, FindsEveryDeviceButListsOnlyThoseWithOutput) {
    ScopedSimWorld world;
    EXPECT_THAT(allDeviceIDs(), ElementsAre(40, 41, 42, 43, 44));
    EXPECT_EQ(findDeviceByUID("BuiltInSpeakerDevice"), kSpeakers);
    EXPECT_EQ(deviceUID(kSpeakers), "BuiltInSpeakerDevice");
    EXPECT_EQ(deviceName(kSpeakers), "MacBook Pro Speakers");
    EXPECT_FALSE(findDeviceByUID("builtinspeakerdevice")); // exact, case-sensitive
    EXPECT_FALSE(findDeviceByUID("BuiltInSpeakerDevice "));
    EXPECT_FALSE(findDeviceByUID(kVirtualDeviceUID));
    // A microphone is found by its UID but cannot play sound.
    EXPECT_EQ(findDeviceByUID("BuiltInMicrophoneDevice"), kMicrophone);
    EXPECT_TRUE(hasStreams(kMicrophone, kAudioObjectPropertyScopeInput));
    EXPECT_FALSE(hasStreams(kMicrophone, kAudioObjectPropertyScopeOutput));
    EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 43, 44));
    EXPECT_THAT(currentSystemDeviceUIDs(),
                UnorderedElementsAre("BuiltInSpeakerDevice", kHeadsetUID, "LGHDMIDisplay:0",
                                     "~:AMS2_StackedOutput:0"));

    // Once its driver is loaded, the virtual device is an output with an input side.
    ASSERT_TRUE(sonarill::sim::resetWorld(sonarill::testing::worldWithDriver()));
    const auto device = findDeviceByUID(kVirtualDeviceUID);
    ASSERT_TRUE(device);
    EXPECT_TRUE(hasStreams(*device, kAudioObjectPropertyScopeInput));
    EXPECT_EQ(currentSystemDeviceUIDs().count(std::string(kVirtualDeviceUID)), 1u);
}

TEST(DeviceLookup, FirstOfDuplicateUIDsWins) {
    ScopedSimWorld world(sonarill::testing::worldFromJSON(R"({"devices": [
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
    // Unplug the HDMI display between the size query and the read, once per arming.
    std::atomic<bool> unplugged{false};
    sonarill::sim::setCallHook([&](const sonarill::sim::CallInfo& call) {
        if (call.call == AudioCall::getPropertyData &&
            call.address.mSelector == kAudioHardwarePropertyDevices && !unplugged.exchange(true)) {
            EXPECT_TRUE(sonarill::sim::removeDeviceByUID("LGHDMIDisplay:0"));
        }
    });
    EXPECT_THAT(allDeviceIDs(), ElementsAre(40, 41, 42, 44, 0));
    const auto replugAndArm = [&] {
        EXPECT_TRUE(sonarill::sim::addDevice(
            {.id = 43, .uid = "LGHDMIDisplay:0", .name = "LG HDMI", .outputChannels = 2}));
        unplugged = false;
    };
    replugAndArm();
    EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 44));
    replugAndArm();
    EXPECT_EQ(findDeviceByUID("~:AMS2_StackedOutput:0"), 44u);
    replugAndArm();
    EXPECT_FALSE(findDeviceByUID("LGHDMIDisplay:0"));
    EXPECT_FALSE(deviceUID(0));
    EXPECT_FALSE(hasStreams(0, kAudioObjectPropertyScopeOutput));
}

TEST(DeviceLookup, EveryFailureIsAnEmptyListAnAbsenceOrASkip) {
    for (const OSStatus status : {kAudioHardwareBadObjectError, kAudioHardwareUnknownPropertyError,
                                  kAudioHardwareBadPropertySizeError,
                                  kAudioHardwareIllegalOperationError, kAudio_ParamError}) {
        ScopedSimWorld world;
        failCall(AudioCall::getPropertyData, "BuiltInSpeakerDevice", kAudioDevicePropertyDeviceUID,
                 status);
        failCall(AudioCall::getPropertyData, "BuiltInSpeakerDevice", kAudioObjectPropertyName,
                 status);
        failCall(AudioCall::getPropertyDataSize, "LGHDMIDisplay:0", kAudioDevicePropertyStreams,
                 status);
        EXPECT_FALSE(deviceUID(kSpeakers)) << status;
        EXPECT_FALSE(deviceName(kSpeakers)) << status;
        EXPECT_FALSE(findDeviceByUID("BuiltInSpeakerDevice")) << status;
        EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 44)) << status;
        EXPECT_THAT(currentSystemDeviceUIDs(),
                    UnorderedElementsAre(kHeadsetUID, "~:AMS2_StackedOutput:0"))
            << status;

        for (const AudioCall call : {AudioCall::getPropertyDataSize, AudioCall::getPropertyData}) {
            sonarill::sim::clearFaults();
            failCall(call, std::nullopt, kAudioHardwarePropertyDevices, status);
            EXPECT_TRUE(allDeviceIDs().empty()) << status;
            EXPECT_TRUE(systemDeviceIDsWithOutput().empty()) << status;
            EXPECT_TRUE(currentSystemDeviceUIDs().empty()) << status;
            EXPECT_FALSE(findDeviceByUID("LGHDMIDisplay:0")) << status;
        }
    }
    ScopedSimWorld empty(sonarill::sim::World{});
    EXPECT_TRUE(allDeviceIDs().empty());
    EXPECT_FALSE(findDeviceByUID(""));
}

// A 32-bit property read fails, or reads 0, as an absence: no default device, no size.
TEST(DeviceLookup, AThirtyTwoBitPropertyIsAbsentWhenItFailsOrReadsZero) {
    ScopedSimWorld world;
    EXPECT_EQ(
        readUInt32Property(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice),
        kSpeakers);
    EXPECT_EQ(readUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize), 1024u);
    EXPECT_EQ(writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 512), noErr);
    EXPECT_EQ(readUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize), 512u);
    EXPECT_EQ(writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 0),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(writeUInt32Property(999, kAudioDevicePropertyBufferFrameSize, 512),
              kAudioHardwareBadObjectError);
    EXPECT_FALSE(readUInt32Property(999, kAudioDevicePropertyBufferFrameSize));
    failCall(AudioCall::getPropertyData, "LGHDMIDisplay:0", kAudioDevicePropertyBufferFrameSize,
             kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(readUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize));

    ScopedSimWorld microphoneOnly(sonarill::testing::worldFromJSON(
        R"({"devices": [{"uid": "Mic", "name": "Mic", "inputChannels": 1}]})"));
    EXPECT_FALSE(
        readUInt32Property(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice))
        << "no device can play, so the default is 0";
}

} // namespace
