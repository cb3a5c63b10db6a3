#pragma once

#include "audio/CoreAudioAPI.h"

#include <string_view>

// What the application and the driver agree on about the virtual device: its UID and its route
// configuration property, 'snrc' read as a big-endian four-character code.
namespace sonarill::audio {

inline constexpr std::string_view kVirtualDeviceUID = "Sonarill_OutputDevice";
inline constexpr AudioObjectPropertySelector kRouteConfigPropertySelector =
    (AudioObjectPropertySelector('s') << 24) | (AudioObjectPropertySelector('n') << 16) |
    (AudioObjectPropertySelector('r') << 8) | AudioObjectPropertySelector('c');

} // namespace sonarill::audio
