// The audio API's types and values as both sides declare them: sizes, offsets and constants
// measured against Apple's headers. On a Mac this checks the frameworks; elsewhere, that the
// simulation matches them. A mismatch fails the build.
#include "audio/CoreAudioAPI.h"

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

static_assert(kAudioUnitType_Output == 0x61756F75u && kAudioUnitSubType_HALOutput == 0x6168616Cu &&
              kAudioUnitManufacturer_Apple == 0x6170706Cu);
static_assert(kAudioOutputUnitProperty_CurrentDevice == 2000u &&
              kAudioOutputUnitProperty_ChannelMap == 2002u &&
              kAudioOutputUnitProperty_EnableIO == 2003u &&
              kAudioOutputUnitProperty_SetInputCallback == 2005u &&
              kAudioUnitProperty_StreamFormat == 8u && kAudioUnitProperty_SetRenderCallback == 23u);
static_assert(kAudioFormatLinearPCM == 0x6C70636Du && kAudioFormatFlagsNativeFloatPacked == 9u);
static_assert(kAudioDevicePropertyBufferFrameSize == 0x6673697Au &&
              kAudioDevicePropertyBufferFrameSizeRange == 0x66737A23u);
static_assert(kAudioUnitErr_FormatNotSupported == -10868 && kAudioUnitErr_Uninitialized == -10867 &&
              kAudioUnitErr_Initialized == -10849 &&
              kAudioUnitErr_CannotDoInCurrentContext == -10863);
static_assert(kAudio_ParamError == -50 && kAudioObjectSystemObject == 1 &&
              kAudioHardwareBadObjectError == 0x216F626A);

} // namespace
