#include "app/DefaultOutput.h"

#include "app/BoundedQuery.h"
#include "audio/DeviceLookup.h"
#include "log/DebugLog.h"

#include <map>

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

bool restoreDefaultOutput(const std::optional<std::string>& originalDefaultOutputUID,
                          const std::optional<std::string>& originalSystemOutputUID) {
    const auto isUsable = [](const std::optional<std::string>& uid) {
        return uid && !uid->empty() && !isVirtualDevice(uid);
    };
    const bool hasUsableRecord = isUsable(originalDefaultOutputUID);
    // Alert sounds go back to their own device; to the default output's when theirs is unknown,
    // rather than stay silent on the virtual device.
    const std::optional<std::string> systemRecord =
        isUsable(originalSystemOutputUID)
            ? originalSystemOutputUID
            : (hasUsableRecord ? originalDefaultOutputUID : std::nullopt);
    // Each device looked up at most once: a server that did not answer the first time costs no
    // second wait.
    std::map<std::string, std::optional<AudioObjectID>> lookedUp;
    const auto deviceID = [&](const std::string& uid) {
        if (const auto found = lookedUp.find(uid); found != lookedUp.end())
            return found->second;
        return lookedUp[uid] = findDeviceID(uid, kAudioQueryTimeoutSeconds);
    };

    bool restored = true;
    const std::optional<std::string> current = currentDefaultOutputUID(kAudioQueryTimeoutSeconds);
    if (isVirtualDevice(current) && hasUsableRecord) {
        DebugLog::log("Restoring default output to: " + *originalDefaultOutputUID);
        const std::optional<AudioObjectID> id = deviceID(*originalDefaultOutputUID);
        if (!id)
            return false;
        const OSStatus output = setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, *id);
        // One device for both, given back in one step.
        const OSStatus systemOutput =
            systemRecord == originalDefaultOutputUID
                ? setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, *id)
                : noErr;
        if (output == noErr && systemOutput == noErr) {
            DebugLog::log("Default output restored to deviceID=" + std::to_string(*id));
        } else {
            DebugLog::log("restoreDefaultOutput: ERROR setting default output: " +
                          std::to_string(output) + ", " + std::to_string(systemOutput));
            restored = false;
        }
    } else if (isVirtualDevice(current)) {
        // The virtual device was the default at launch already, and no earlier run left a record.
        DebugLog::log("restoreDefaultOutput: ERROR no output recorded at launch to give back; " +
                      *current + " stays the default output");
        restored = false;
    } else {
        DebugLog::log("Default output not Sonarill (" + current.value_or("nil") +
                      "), no restore needed");
        restored = current.has_value();
    }

    // Alert sounds follow their own default, which the user may have left on the virtual device
    // while picking another output: it would be silent once the application is gone. Unread, it
    // may be there still.
    if (!systemRecord)
        return restored;
    const std::optional<std::string> currentSystem =
        currentDefaultSystemOutputUID(kAudioQueryTimeoutSeconds);
    if (!currentSystem)
        return false;
    if (!isVirtualDevice(currentSystem))
        return restored;
    const std::optional<AudioObjectID> id = deviceID(*systemRecord);
    if (!id)
        return false;
    const OSStatus status = setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, *id);
    if (status == noErr) {
        DebugLog::log("Restoring default system output to: " + *systemRecord);
        return restored;
    }
    DebugLog::log("restoreDefaultOutput: ERROR setting default system output: " +
                  std::to_string(status));
    return false;
}

} // namespace sonarill::app
