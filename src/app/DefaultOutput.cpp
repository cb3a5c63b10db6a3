#include "app/DefaultOutput.h"

#include "app/BoundedQuery.h"
#include "audio/DeviceLookup.h"
#include "log/DebugLog.h"

namespace sonarill::app {

namespace {

std::optional<std::string> boundedDefaultDeviceUID(AudioObjectPropertySelector which,
                                                   double timeoutSeconds, const char* name) {
    std::optional<std::string> uid =
        coreAudioValue(timeoutSeconds, [which] { return defaultDeviceUIDBlocking(which); });
    if (!uid)
        DebugLog::log(std::string(name) + ": timed out or returned nil");
    return uid;
}

OSStatus setDefaultDevice(AudioObjectPropertySelector which, AudioObjectID device) {
    const AudioObjectPropertyAddress address{which, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    return AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, sizeof device,
                                      &device);
}

bool isVirtualDevice(const std::optional<std::string>& uid) {
    return uid && *uid == audio::kVirtualDeviceUID;
}

} // namespace

std::optional<std::string> defaultDeviceUIDBlocking(AudioObjectPropertySelector which) {
    const AudioObjectPropertyAddress address{which, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                   &device) != noErr)
        return std::nullopt;
    return audio::deviceUID(device);
}

std::optional<std::string> currentDefaultOutputUIDBlocking() {
    return defaultDeviceUIDBlocking(kAudioHardwarePropertyDefaultOutputDevice);
}

std::optional<AudioObjectID> findDeviceIDBlocking(const std::string& uid) {
    return audio::findDeviceByUID(uid);
}

std::optional<std::string> currentDefaultOutputUID(double timeoutSeconds) {
    return boundedDefaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice, timeoutSeconds,
                                   "currentDefaultOutputUID");
}

std::optional<std::string> currentDefaultSystemOutputUID(double timeoutSeconds) {
    return boundedDefaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice, timeoutSeconds,
                                   "currentDefaultSystemOutputUID");
}

std::optional<AudioObjectID> findDeviceID(const std::string& uid, double timeoutSeconds) {
    std::optional<AudioObjectID> id =
        coreAudioValue(timeoutSeconds, [uid] { return findDeviceIDBlocking(uid); });
    if (!id)
        DebugLog::log("findDeviceID: timed out or returned nil for uid=" + uid);
    return id;
}

bool restoreDefaultOutput(const std::optional<std::string>& originalDefaultOutputUID) {
    const bool hasUsableRecord = originalDefaultOutputUID && !originalDefaultOutputUID->empty() &&
                                 !isVirtualDevice(originalDefaultOutputUID);
    // Looked up at most once: a server that did not answer the first time costs no second wait.
    std::optional<std::optional<AudioObjectID>> recordedDevice;
    const auto recordedDeviceID = [&] {
        if (!recordedDevice)
            recordedDevice = findDeviceID(*originalDefaultOutputUID, kAudioQueryTimeoutSeconds);
        return *recordedDevice;
    };

    bool restored = true;
    const std::optional<std::string> current = currentDefaultOutputUID(kAudioQueryTimeoutSeconds);
    if (isVirtualDevice(current) && hasUsableRecord) {
        DebugLog::log("Restoring default output to: " + *originalDefaultOutputUID);
        const std::optional<AudioObjectID> id = recordedDeviceID();
        if (!id)
            return false;
        const OSStatus output = setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, *id);
        const OSStatus systemOutput =
            setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, *id);
        if (output == noErr && systemOutput == noErr) {
            DebugLog::log("Default output restored to deviceID=" + std::to_string(*id));
        } else {
            DebugLog::log("restoreDefaultOutput: ERROR setting default output: " +
                          std::to_string(output) + ", " + std::to_string(systemOutput));
            restored = false;
        }
    } else {
        DebugLog::log("Default output not Sonarill (" + current.value_or("nil") +
                      "), no restore needed");
        restored = current.has_value() && !isVirtualDevice(current);
    }

    // Alert sounds follow their own default, which the user may have left on the virtual device
    // while picking another output: it would be silent once the application is gone.
    if (!hasUsableRecord)
        return restored;
    if (!isVirtualDevice(currentDefaultSystemOutputUID(kAudioQueryTimeoutSeconds)))
        return restored;
    const std::optional<AudioObjectID> id = recordedDeviceID();
    if (!id)
        return false;
    const OSStatus status = setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, *id);
    if (status == noErr) {
        DebugLog::log("Restoring default system output to: " + *originalDefaultOutputUID);
        return restored;
    }
    DebugLog::log("restoreDefaultOutput: ERROR setting default system output: " +
                  std::to_string(status));
    return false;
}

} // namespace sonarill::app
