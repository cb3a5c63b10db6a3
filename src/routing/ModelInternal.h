#pragma once

// What several files of the routing model share: small readings of the audio system, the limits
// of a value and the list of observers.

#include "forwarder/Callbacks.h"
#include "routing/AudioRoutingViewModel.h"
#include "routing/UnicodeText.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonarill::routing {

namespace detail {

inline float limitVolume(float volume) {
    return forwarder::clampVolume(volume);
}

inline const char* boolText(bool value) {
    return value ? "true" : "false";
}

inline AudioObjectPropertyAddress systemAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

inline std::optional<AudioObjectID> readDefaultDevice(AudioObjectPropertySelector which) {
    const AudioObjectPropertyAddress address = systemAddress(which);
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof(device);
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                   &device) != noErr)
        return std::nullopt;
    return device;
}

// The device list with the status of each step, which the device lookups do not report: a list
// that cannot be read is not a list without devices.
struct DeviceListReading {
    OSStatus sizeStatus = noErr;
    OSStatus listStatus = noErr;
    std::vector<AudioObjectID> ids;

    OSStatus status() const { return sizeStatus != noErr ? sizeStatus : listStatus; }
};

inline DeviceListReading readDeviceList() {
    DeviceListReading reading;
    const AudioObjectPropertyAddress address = systemAddress(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    reading.sizeStatus =
        AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size);
    if (reading.sizeStatus != noErr)
        return reading;
    reading.ids.assign(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    reading.listStatus = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr,
                                                    &size, reading.ids.data());
    if (reading.listStatus != noErr)
        reading.ids.clear();
    return reading;
}

inline UInt32 transportType(AudioObjectID device) {
    const AudioObjectPropertyAddress address = systemAddress(kAudioDevicePropertyTransportType);
    UInt32 transport = 0;
    UInt32 size = sizeof(transport);
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &transport) != noErr)
        return 0;
    return transport;
}

inline std::optional<std::string> trimmedCustomName(const std::optional<std::string>& customName,
                                                    const std::string& deviceName) {
    if (!customName)
        return std::nullopt;
    const std::string trimmed(trimWhitespaceAndNewlines(*customName));
    if (trimmed.empty() || trimmed == deviceName)
        return std::nullopt;
    return trimmed;
}

} // namespace detail

struct AudioRoutingViewModel::ObserverList {
    struct Entry {
        std::function<void()> callback;
        bool active = true;
    };
    std::map<uint64_t, std::shared_ptr<Entry>> entries;
    uint64_t nextId = 1;
    bool notifying = false;
};

} // namespace sonarill::routing
