#include "audio/DeviceLookup.h"

#include "audio/CFString.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace sonarill::audio {

namespace {

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::optional<std::string> readStringProperty(AudioObjectID object,
                                              AudioObjectPropertySelector selector) {
    const auto address = globalAddress(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof(string);
    const OSStatus status =
        AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &string);
    const ScopedCFString owned(string); // released whatever the status
    if (status != noErr)
        return std::nullopt;
    return stringFromCFString(string);
}

bool isPrintableASCII(unsigned char byte) {
    return byte >= 32 && byte <= 126;
}

} // namespace

std::vector<AudioObjectID> allDeviceIDs() {
    const auto address = globalAddress(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size) !=
        noErr)
        return {};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    if (ids.empty())
        return {};
    // The buffer's own size, never more: a size that is not a multiple of an ID must not let
    // the read run past the list.
    UInt32 readSize = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &readSize,
                                   ids.data()) != noErr)
        return {};
    return ids;
}

std::optional<AudioObjectID> findDeviceByUID(std::string_view uid) {
    for (const AudioObjectID id : allDeviceIDs()) {
        if (deviceUID(id) == uid)
            return id;
    }
    return std::nullopt;
}

std::optional<std::string> deviceUID(AudioObjectID device) {
    return readStringProperty(device, kAudioDevicePropertyDeviceUID);
}

std::optional<std::string> deviceName(AudioObjectID device) {
    return readStringProperty(device, kAudioObjectPropertyName);
}

std::optional<uint32_t> readUInt32Property(AudioObjectID object,
                                           AudioObjectPropertySelector selector) {
    const auto address = globalAddress(selector);
    UInt32 value = 0;
    UInt32 size = sizeof value;
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value) != noErr ||
        value == 0)
        return std::nullopt;
    return value;
}

OSStatus writeUInt32Property(AudioObjectID object, AudioObjectPropertySelector selector,
                             uint32_t value) {
    const auto address = globalAddress(selector);
    const UInt32 data = value;
    return AudioObjectSetPropertyData(object, &address, 0, nullptr, sizeof data, &data);
}

bool hasStreams(AudioObjectID device, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreams, scope,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    return AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) == noErr &&
           size != 0;
}

std::optional<uint32_t> channelCount(AudioObjectID device, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != noErr ||
        size < offsetof(AudioBufferList, mBuffers))
        return std::nullopt;
    // AudioBuffer's alignment, which holds a pointer, for a list of any length.
    std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 1);
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, storage.data()) != noErr)
        return std::nullopt;
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    const size_t fits = (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    uint32_t channels = 0;
    for (size_t i = 0; i < std::min<size_t>(list->mNumberBuffers, fits); ++i)
        channels += list->mBuffers[i].mNumberChannels;
    return channels;
}

std::vector<AudioObjectID> systemDeviceIDsWithOutput() {
    std::vector<AudioObjectID> withOutput;
    for (const AudioObjectID id : allDeviceIDs()) {
        if (hasStreams(id, kAudioObjectPropertyScopeOutput))
            withOutput.push_back(id);
    }
    return withOutput;
}

std::set<std::string> currentSystemDeviceUIDs() {
    std::set<std::string> uids;
    for (const AudioObjectID id : systemDeviceIDsWithOutput()) {
        if (auto uid = deviceUID(id))
            uids.insert(std::move(*uid));
    }
    return uids;
}

std::string fourCCString(uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    for (const unsigned char byte : bytes) {
        if (byte >= 128) {
            char hex[11];
            std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(value));
            return hex;
        }
    }
    return std::string(reinterpret_cast<const char*>(bytes), 4);
}

std::string osStatusString(OSStatus status) {
    switch (status) {
    case 0:
        return "noErr";
    case -10879:
        return "kAudioUnitErr_InvalidProperty";
    case -10874:
        return "kAudioUnitErr_TooManyFramesToProcess";
    case -10868:
        return "kAudioUnitErr_FormatNotSupported";
    case -10867:
        return "kAudioUnitErr_Uninitialized";
    case -10863:
        return "kAudioUnitErr_CannotDoInCurrentContext";
    default:
        break;
    }
    const auto value = static_cast<uint32_t>(status);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    for (const unsigned char byte : bytes) {
        if (!isPrintableASCII(byte))
            return std::to_string(status);
    }
    return std::string(reinterpret_cast<const char*>(bytes), 4);
}

} // namespace sonarill::audio
