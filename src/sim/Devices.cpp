// Devices and defaults: how devices come and go, how they are found, which one is the default.

#include "sim/Io.h"
#include "sim/PlugInHost.h"
#include "sim/State.h"

#include <algorithm>

namespace sonarill::sim {

namespace {

io::IoDevice ioDevice(const DeviceState& state) {
    const Device& device = state.device;
    return {device.id,
            device.uid,
            device.inputChannels,
            device.outputChannels,
            device.bufferFrameSize,
            device.ppm,
            state.isVirtual};
}

// A device coming or going moves the defaults in every process that simulates it: only the one
// that runs the system, not one that joined it, tells the others.
void publishMovedDefault(State& s, AudioObjectPropertySelector which) {
    if (!s.shared.joined)
        publishDefault(s, which);
}

} // namespace

AudioObjectID& defaultSlot(State& s, AudioObjectPropertySelector which) {
    return which == kAudioHardwarePropertyDefaultOutputDevice ? s.defaultOutput
                                                              : s.defaultSystemOutput;
}

const DeviceState* findDevice(const State& s, AudioObjectID id) {
    const auto found = s.devices.find(id);
    return found == s.devices.end() ? nullptr : &found->second;
}

DeviceState* findDevice(State& s, AudioObjectID id) {
    const auto found = s.devices.find(id);
    return found == s.devices.end() ? nullptr : &found->second;
}

const DeviceState* findDeviceByUID(const State& s, std::string_view uid, bool physicalOnly) {
    for (const AudioObjectID id : s.deviceOrder) {
        const DeviceState& device = s.devices.at(id);
        if (device.device.uid == uid && !(physicalOnly && device.isVirtual))
            return &device;
    }
    return nullptr;
}

bool objectExists(const State& s, AudioObjectID id) {
    return id == AudioObjectID(kAudioObjectSystemObject) || s.devices.count(id) > 0;
}

AudioObjectID firstOutputDevice(const State& s) {
    for (const AudioObjectID id : s.deviceOrder) {
        if (s.devices.at(id).outputStream != kAudioObjectUnknown)
            return id;
    }
    return kAudioObjectUnknown;
}

OSStatus setDefaultDevice(State& s, AudioObjectPropertySelector which, AudioObjectID device) {
    const DeviceState* target = findDevice(s, device);
    if (target == nullptr)
        return kAudioHardwareBadDeviceError;
    if (target->outputStream == kAudioObjectUnknown)
        return kAudioHardwareIllegalOperationError; // cannot play sound
    AudioObjectID& slot = defaultSlot(s, which);
    if (slot != device) {
        slot = device;
        notify(s, kAudioObjectSystemObject, which);
        publishDefault(s, which);
        updateAppClients(s);
    }
    return noErr;
}

base::Expected<AudioObjectID> addDeviceLocked(State& s, Device device, bool isVirtual,
                                              bool hasRouteConfig) {
    std::optional<AudioObjectID> id = device.id;
    if (device.id == kAudioObjectUnknown || objectExists(s, device.id))
        id = s.objectIDs.next();
    else
        s.objectIDs.name(device.id); // never to be handed out to another device
    const auto streamID = [&](UInt32 channels) {
        return channels > 0 ? s.objectIDs.next()
                            : std::optional(AudioObjectID(kAudioObjectUnknown));
    };
    const auto input = streamID(device.inputChannels);
    const auto output = streamID(device.outputChannels);
    if (!id || !input || !output)
        return base::Failure{"the object IDs have run out"};
    device.id = *id;
    DeviceState& added =
        s.devices[*id] = {std::move(device), *input, *output, isVirtual, hasRouteConfig};
    s.deviceOrder.push_back(*id);
    io::deviceAdded(ioDevice(added));
    notify(s, kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    // Like macOS, a first output device becomes the default.
    for (const auto which : {kAudioHardwarePropertyDefaultOutputDevice,
                             kAudioHardwarePropertyDefaultSystemOutputDevice}) {
        if (*output != kAudioObjectUnknown && defaultSlot(s, which) == kAudioObjectUnknown) {
            defaultSlot(s, which) = *id;
            notify(s, kAudioObjectSystemObject, which);
            publishMovedDefault(s, which);
        }
    }
    updateAppClients(s);
    return *id;
}

void removeDeviceLocked(State& s, AudioObjectID id) {
    const auto found = s.devices.find(id);
    if (found == s.devices.end())
        return;
    if (found->second.isVirtual)
        s.plugInHost.reset(); // the audio server unloads the driver with its device
    s.devices.erase(found);
    s.deviceOrder.erase(std::find(s.deviceOrder.begin(), s.deviceOrder.end(), id));
    io::deviceRemoved(id);
    notify(s, kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    // Like macOS, the default moves to a remaining output when its device goes away.
    for (const auto which : {kAudioHardwarePropertyDefaultOutputDevice,
                             kAudioHardwarePropertyDefaultSystemOutputDevice}) {
        AudioObjectID& slot = defaultSlot(s, which);
        if (slot == id) {
            slot = firstOutputDevice(s);
            notify(s, kAudioObjectSystemObject, which);
            publishMovedDefault(s, which);
        }
    }
    updateAppClients(s);
}

void clearDevices(State& s) {
    s.plugInHost.reset();
    for (const AudioObjectID id : s.deviceOrder)
        io::deviceRemoved(id);
    s.devices.clear();
    s.deviceOrder.clear();
    s.defaultOutput = s.defaultSystemOutput = kAudioObjectUnknown;
}

// MARK: Control

std::vector<Device> devices() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    std::vector<Device> list;
    list.reserve(s.deviceOrder.size());
    for (const AudioObjectID id : s.deviceOrder)
        list.push_back(s.devices.at(id).device);
    return list;
}

base::Expected<AudioObjectID> addDevice(Device device) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    if (device.uid.empty())
        return base::Failure{"a device needs a UID"};
    if (device.id != kAudioObjectUnknown && objectExists(s, device.id))
        return base::Failure{"the ID " + std::to_string(device.id) + " is taken"};
    return addDeviceLocked(s, std::move(device));
}

base::Expected<void> removeDevice(AudioObjectID id) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    const DeviceState* device = findDevice(s, id);
    if (device == nullptr || device->isVirtual)
        return base::Failure{"no physical device has the ID " + std::to_string(id)};
    removeDeviceLocked(s, id);
    return {};
}

base::Expected<void> removeDeviceByUID(std::string_view uid) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    const DeviceState* device = findDeviceByUID(s, uid, true);
    if (device == nullptr)
        return base::Failure{"no physical device has the UID " + std::string(uid)};
    removeDeviceLocked(s, device->device.id);
    return {};
}

base::Expected<void> setDeviceClock(std::string_view uid, double ppm) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const DeviceState* found = findDeviceByUID(s, uid, false);
    if (found == nullptr)
        return base::Failure{"no device has the UID " + std::string(uid)};
    DeviceState* device = findDevice(s, found->device.id);
    device->device.ppm = ppm;
    io::clockChanged(device->device.id, ppm);
    return {};
}

std::optional<std::string> defaultDeviceUID(AudioObjectPropertySelector which) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    const DeviceState* device = findDevice(s, defaultSlot(s, which));
    if (device == nullptr)
        return std::nullopt;
    return device->device.uid;
}

base::Expected<void> setDefaultDevice(AudioObjectPropertySelector which, std::string_view uid) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    for (const AudioObjectID id : s.deviceOrder) {
        if (s.devices.at(id).device.uid == uid && setDefaultDevice(s, which, id) == noErr)
            return {};
    }
    return base::Failure{"no device with output has the UID " + std::string(uid)};
}

} // namespace sonarill::sim
