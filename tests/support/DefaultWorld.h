#pragma once

#include "sim/CoreAudio.h"

// The built-in default world's devices, as tests refer to them.
namespace sonarill::testing {

inline constexpr AudioObjectID kMicrophone = 40;
inline constexpr AudioObjectID kSpeakers = 41;
inline constexpr AudioObjectID kHeadset = 42;
inline constexpr AudioObjectID kHDMI = 43;
inline constexpr AudioObjectID kMultiOutput = 44;

inline constexpr const char* kMicrophoneUID = "BuiltInMicrophoneDevice";
inline constexpr const char* kSpeakersUID = "BuiltInSpeakerDevice";
inline constexpr const char* kHeadsetUID = "AppleUSBAudioEngine:Generic:USB Headset:1410000:1";
inline constexpr const char* kHDMIUID = "LGHDMIDisplay:0";
inline constexpr const char* kMultiOutputUID = "~:AMS2_StackedOutput:0";

} // namespace sonarill::testing
