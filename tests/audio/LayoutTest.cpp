// The audio API's types as both sides declare them: sizes and offsets measured against Apple's
// headers. On a Mac this checks the frameworks; elsewhere that the simulation matches them.
#include "audio/CoreAudioAPI.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

namespace {

static_assert(sizeof(OSStatus) == 4 && std::is_signed_v<OSStatus>);
static_assert(std::is_same_v<UInt64, unsigned long long>);
static_assert(std::is_same_v<AudioUnit, AudioComponentInstance>);

static_assert(sizeof(AudioComponentDescription) == 20 && alignof(AudioComponentDescription) == 4);
static_assert(offsetof(AudioComponentDescription, componentFlagsMask) == 16);
static_assert(sizeof(AURenderCallbackStruct) == 16);
static_assert(offsetof(AURenderCallbackStruct, inputProcRefCon) == 8);
static_assert(sizeof(SMPTETime) == 24 && offsetof(SMPTETime, mType) == 8 &&
              offsetof(SMPTETime, mHours) == 16);
static_assert(sizeof(AudioTimeStamp) == 64 && alignof(AudioTimeStamp) == 8);
static_assert(offsetof(AudioTimeStamp, mSMPTETime) == 32 && offsetof(AudioTimeStamp, mFlags) == 56);
static_assert(sizeof(AudioBuffer) == 16 && offsetof(AudioBuffer, mData) == 8);
static_assert(sizeof(AudioBufferList) == 24 && offsetof(AudioBufferList, mBuffers) == 8);
static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8 &&
              offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32);
static_assert(sizeof(AudioValueRange) == 16);
static_assert(sizeof(AudioObjectPropertyAddress) == 12);

TEST(AudioAPIConstants, ValuesAreApples) {
    EXPECT_EQ(kAudioUnitType_Output, 0x61756F75u);
    EXPECT_EQ(kAudioUnitSubType_HALOutput, 0x6168616Cu);
    EXPECT_EQ(kAudioUnitManufacturer_Apple, 0x6170706Cu);
    EXPECT_EQ(kAudioOutputUnitProperty_CurrentDevice, 2000u);
    EXPECT_EQ(kAudioOutputUnitProperty_ChannelMap, 2002u);
    EXPECT_EQ(kAudioOutputUnitProperty_EnableIO, 2003u);
    EXPECT_EQ(kAudioOutputUnitProperty_SetInputCallback, 2005u);
    EXPECT_EQ(kAudioUnitProperty_StreamFormat, 8u);
    EXPECT_EQ(kAudioUnitProperty_SetRenderCallback, 23u);
    EXPECT_EQ(kAudioFormatLinearPCM, 0x6C70636Du);
    EXPECT_EQ(kAudioFormatFlagsNativeFloatPacked, 9u);
    EXPECT_EQ(kAudioDevicePropertyBufferFrameSize, 0x6673697Au);
    EXPECT_EQ(kAudioDevicePropertyBufferFrameSizeRange, 0x66737A23u);
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, -10868);
    EXPECT_EQ(kAudioUnitErr_Uninitialized, -10867);
    EXPECT_EQ(kAudioUnitErr_Initialized, -10849);
    EXPECT_EQ(kAudioUnitErr_CannotDoInCurrentContext, -10863);
    EXPECT_EQ(kAudio_ParamError, -50);
    EXPECT_EQ(kAudioObjectSystemObject, 1);
    EXPECT_EQ(kAudioHardwareBadObjectError, 0x216F626A);
}

} // namespace
