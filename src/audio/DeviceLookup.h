#pragma once

#include "audio/CoreAudioAPI.h"
#include "audio/VirtualDevice.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The one shared copy of the device questions every layer asks. Stateless and synchronous:
// each call asks the audio system afresh on the caller's thread, never logs, and reports
// failure only as an empty list or an absent value.
namespace sonarill::audio {

// In the audio system's order. A list that shrank between the size query and the read keeps
// trailing 0 IDs; every lookup below skips them because their reads fail.
std::vector<AudioObjectID> allDeviceIDs();
// The first device in list order whose UID equals `uid` exactly.
std::optional<AudioObjectID> findDeviceByUID(std::string_view uid);
std::optional<std::string> deviceUID(AudioObjectID device);
std::optional<std::string> deviceName(AudioObjectID device);
// Whether the device has at least one stream on `scope` (input or output).
bool hasStreams(AudioObjectID device, AudioObjectPropertyScope scope);
// The device's channels on `scope` (input or output), summed over its streams; nothing when
// they cannot be read.
std::optional<uint32_t> channelCount(AudioObjectID device, AudioObjectPropertyScope scope);
// The devices that can play sound, in list order.
std::vector<AudioObjectID> systemDeviceIDsWithOutput();
std::set<std::string> currentSystemDeviceUIDs();

// A 32-bit property on the global scope and main element, such as the system object's default
// output device or a device's buffer frame size: nothing when the read fails or gives 0, which
// names no device and no size.
std::optional<uint32_t> readUInt32Property(AudioObjectID object,
                                           AudioObjectPropertySelector selector);
OSStatus writeUInt32Property(AudioObjectID object, AudioObjectPropertySelector selector,
                             uint32_t value);

// "bltn" for 0x62746C6E; "0x%08X" when a byte is not ASCII.
std::string fourCCString(uint32_t value);
// "noErr", a few audio-unit names, four-character codes such as "who?", else decimal.
std::string osStatusString(OSStatus status);

} // namespace sonarill::audio
