// The shared device lookups against the simulated audio system, failures included.

#include "audio/DeviceLookup.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace sonarill::audio;
using namespace sonarill::testing;
using sonarill::sim::AudioCall;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

void failCall(AudioCall call, std::optional<std::string> uid, AudioObjectPropertySelector selector,
              OSStatus status = kAudio_ParamError) {
    sonarill::sim::injectFault({.call = call, .uid = uid, .selector = selector, .status = status});
}

// Each row: a UID and the device found by it, exactly; a microphone is found but cannot play.
TEST(DeviceLookup, FindsEveryDeviceByItsExactUIDButListsOnlyThoseWithOutput) {
    ScopedSimWorld world;
    const std::pair<std::string, std::optional<AudioObjectID>> rows[] = {
        {kSpeakersUID, kSpeakers},     {"builtinspeakerdevice", {}},  {"BuiltInSpeakerDevice ", {}},
        {kMicrophoneUID, kMicrophone}, {"Sonarill_OutputDevice", {}}, {"", {}}};
    for (const auto& [uid, id] : rows)
        EXPECT_EQ(findDeviceByUID(uid), id) << uid;
    EXPECT_THAT(allDeviceIDs(), ElementsAre(40, 41, 42, 43, 44));
    EXPECT_TRUE(hasStreams(kMicrophone, kAudioObjectPropertyScopeInput));
    EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 43, 44));
    EXPECT_THAT(currentSystemDeviceUIDs(),
                UnorderedElementsAre(kSpeakersUID, kHeadsetUID, kHDMIUID, kMultiOutputUID));

    // Once its driver is loaded, the virtual device is an output with an input side.
    ASSERT_TRUE(sonarill::sim::resetWorld(worldWithDriver()));
    const auto device = findDeviceByUID(kVirtualDeviceUID);
    ASSERT_TRUE(device);
    EXPECT_TRUE(hasStreams(*device, kAudioObjectPropertyScopeInput));
    EXPECT_EQ(currentSystemDeviceUIDs().count(std::string(kVirtualDeviceUID)), 1u);

    // Of two devices with one UID, the first in the list wins.
    ScopedSimWorld twins(worldFromJSON(R"({"devices": [
        {"id": 9, "uid": "Twin", "name": "First", "outputChannels": 2},
        {"id": 5, "uid": "Twin", "name": "Second", "outputChannels": 2}]})"));
    EXPECT_EQ(findDeviceByUID("Twin"), 9u);
    EXPECT_THAT(currentSystemDeviceUIDs(), ElementsAre("Twin"));
    EXPECT_TRUE(sonarill::sim::removeDevice(9));
    EXPECT_EQ(findDeviceByUID("Twin"), 5u);
}

// The display is unplugged between the size query and the read of the list: the list keeps a
// trailing 0, which has neither a UID nor streams, so every lookup skips it.
TEST(DeviceLookup, AListThatShrinksBeforeTheReadLeavesTrailingZerosThatAreSkipped) {
    ScopedSimWorld world;
    bool unplugged = false;
    sonarill::sim::setCallHook([&](const sonarill::sim::CallInfo& call) {
        if (call.call == AudioCall::getPropertyData &&
            call.address.mSelector == kAudioHardwarePropertyDevices && !unplugged) {
            unplugged = true;
            EXPECT_TRUE(sonarill::sim::removeDeviceByUID(kHDMIUID));
        }
    });
    EXPECT_THAT(allDeviceIDs(), ElementsAre(40, 41, 42, 44, 0));
    EXPECT_FALSE(deviceUID(0));
    EXPECT_FALSE(hasStreams(0, kAudioObjectPropertyScopeOutput));
}

// A device whose reads fail is absent and skipped; a device list that cannot be read is empty
// (its size failing is the routing model's scenario).
TEST(DeviceLookup, EveryFailureIsAnEmptyListAnAbsenceOrASkip) {
    ScopedSimWorld world;
    failCall(AudioCall::getPropertyData, kSpeakersUID, kAudioDevicePropertyDeviceUID);
    failCall(AudioCall::getPropertyData, kSpeakersUID, kAudioObjectPropertyName);
    failCall(AudioCall::getPropertyDataSize, kHDMIUID, kAudioDevicePropertyStreams);
    EXPECT_FALSE(deviceUID(kSpeakers));
    EXPECT_FALSE(deviceName(kSpeakers));
    EXPECT_FALSE(findDeviceByUID(kSpeakersUID));
    EXPECT_THAT(systemDeviceIDsWithOutput(), ElementsAre(41, 42, 44));
    EXPECT_THAT(currentSystemDeviceUIDs(), UnorderedElementsAre(kHeadsetUID, kMultiOutputUID));
    sonarill::sim::clearFaults();
    failCall(AudioCall::getPropertyData, std::nullopt, kAudioHardwarePropertyDevices);
    EXPECT_TRUE(allDeviceIDs().empty());
    EXPECT_TRUE(currentSystemDeviceUIDs().empty());
    EXPECT_FALSE(findDeviceByUID(kHDMIUID));
    ScopedSimWorld empty(sonarill::sim::World{});
    EXPECT_TRUE(allDeviceIDs().empty());
}

// A 32-bit property read fails, or reads 0, as an absence: no default device, no size.
TEST(DeviceLookup, AThirtyTwoBitPropertyIsAbsentWhenItFailsOrReadsZero) {
    ScopedSimWorld world;
    const auto defaultOutput = [] {
        return readUInt32Property(kAudioObjectSystemObject,
                                  kAudioHardwarePropertyDefaultOutputDevice);
    };
    const auto size = [](AudioObjectID device) {
        return readUInt32Property(device, kAudioDevicePropertyBufferFrameSize);
    };
    EXPECT_EQ(defaultOutput(), kSpeakers);
    EXPECT_EQ(size(kHDMI), 1024u);
    EXPECT_EQ(writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 512), noErr);
    EXPECT_EQ(size(kHDMI), 512u);
    EXPECT_EQ(writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 0),
              kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(size(999));
    failCall(AudioCall::getPropertyData, kHDMIUID, kAudioDevicePropertyBufferFrameSize,
             kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(size(kHDMI));

    ASSERT_TRUE(sonarill::sim::resetWorld(
        worldFromJSON(R"({"devices": [{"uid": "Mic", "name": "Mic", "inputChannels": 1}]})")));
    EXPECT_FALSE(defaultOutput()) << "no device can play, so the default is 0";
}

} // namespace
