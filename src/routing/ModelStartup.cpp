// Creating the model and its start-up: the first device list, the configuration, the
// applications and the takeover of the system output, or its delayed finish.

#include "routing/AudioRoutingViewModel.h"

#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "log/DebugLog.h"
#include "routing/ModelInternal.h"

#include <algorithm>

namespace sonarill::routing {

using DebugLog::log;
using detail::readDefaultDevice;
using detail::systemAddress;

namespace {

OSStatus setDefaultDevice(AudioObjectPropertySelector which, AudioObjectID device) {
    const AudioObjectPropertyAddress address = systemAddress(which);
    return AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr,
                                      sizeof(device), &device);
}

} // namespace

AudioRoutingViewModel::AudioRoutingViewModel(Environment environment)
    : environment_(std::move(environment)), virtualDeviceUID_(audio::kVirtualDeviceUID),
      routeConfigPropertySelector_(audio::kRouteConfigPropertySelector),
      observers_(std::make_shared<ObserverList>()) {}

std::shared_ptr<AudioRoutingViewModel> AudioRoutingViewModel::create(Environment environment) {
    std::shared_ptr<AudioRoutingViewModel> model(new AudioRoutingViewModel(std::move(environment)));
    model->start();
    return model;
}

AudioRoutingViewModel::~AudioRoutingViewModel() {
    appDiscoveryTimer_.cancel();
    unregisterDeviceChangeListener();
    resetConfigObserver_.remove();
}

void AudioRoutingViewModel::start() {
    log("=== AudioRoutingViewModel init ===");
    const bool listed = loadOutputDevices();
    loadConfig();
    applyStartupOutputPreference();
    normalizeSharedAudioGroupRoutes();
    discoverAudioApps();
    if (listed) {
        takeOverSystemOutput();
    } else {
        // Nothing to forward to is known yet: taking over would silence the machine.
        deviceListUnavailable_ = true;
        log("init: device list unavailable; not taking over system output");
    }
    startAppDiscoveryTimer();
    registerDeviceChangeListener();
    observeResetConfigNotifications();
    saveConfig();
    log("=== AudioRoutingViewModel init complete ===");
}

void AudioRoutingViewModel::takeOverSystemOutput() {
    // A driver that appears later starts routing then, as a launch would.
    awaitingVirtualDevice_ = !audio::findDeviceByUID(virtualDeviceUID_);
    if (!knowsOutputToGiveBack())
        return;
    if (!syncForwarder()) {
        log("init: Sonarill device unavailable or forwarder failed; not taking over system "
            "output");
        return;
    }
    switch (setSonarillAsDefault()) {
    case Takeover::complete:
    case Takeover::outputOnly:
        // With only the output taken, sound already goes to the virtual device: stopping the
        // forwarder would silence it.
        isForwarding_ = true;
        return;
    case Takeover::failed:
        log("init: could not set Sonarill as default; stopping forwarder");
        environment_.forwarder.stop();
        return;
    }
}

// The output is never taken over without knowing what to give back at quit. Without a record from
// launch, the default output now is the one to record: the virtual device does not hold it yet.
bool AudioRoutingViewModel::knowsOutputToGiveBack() {
    awaitingOriginalOutput_ = false;
    if (environment_.originalOutputUID)
        return true;
    const std::optional<AudioObjectID> device =
        readDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
    const std::optional<std::string> uid =
        device && *device != kAudioObjectUnknown ? audio::deviceUID(*device) : std::nullopt;
    if (!device || (*device != kAudioObjectUnknown && !uid)) {
        awaitingOriginalOutput_ = true;
        log("takeOverSystemOutput: ERROR no default output recorded at launch and none can be "
            "read; not taking over system output until the device list changes");
        return false;
    }
    // No output at all, or the virtual device left by an earlier run: nothing can be given back,
    // and taking over takes nothing from the user.
    if (!uid || *uid == virtualDeviceUID_) {
        log("takeOverSystemOutput: WARNING no default output recorded at launch; the default is " +
            uid.value_or("none") + ", nothing to give back at quit");
        return true;
    }
    log("takeOverSystemOutput: no default output recorded at launch; recorded " + *uid);
    environment_.originalOutputUID = *uid;
    if (environment_.recordOriginalOutput)
        environment_.recordOriginalOutput(*uid);
    return true;
}

// A start-up without a device list finishes here, at the first device-list change that can be
// read: as if the model started now, with the file it left alone.
void AudioRoutingViewModel::finishDelayedStart() {
    log("handleDeviceListChanged: device list available again; starting routing");
    deviceListUnavailable_ = false;
    if (!loadOutputDevices()) {
        deviceListUnavailable_ = true;
        return;
    }
    loadConfig();
    applyStartupOutputPreference();
    normalizeSharedAudioGroupRoutes();
    discoverAudioApps();
    takeOverSystemOutput();
    saveConfig();
}

void AudioRoutingViewModel::applyStartupOutputPreference() {
    limitActiveDevices();
    if (std::any_of(allDevices_.begin(), allDevices_.end(),
                    [](const auto& d) { return d.enabled; })) {
        normalizeDeviceOrdering(std::nullopt);
        return;
    }
    if (startupOutputUID_ && hasDevice(*startupOutputUID_)) {
        willChange();
        findDevice(*startupOutputUID_)->enabled = true;
        normalizeDeviceOrdering(startupOutputUID_);
        return;
    }
    if (!allDevices_.empty()) {
        willChange();
        allDevices_.front().enabled = true;
    }
    normalizeDeviceOrdering(std::nullopt);
}

AudioRoutingViewModel::Takeover AudioRoutingViewModel::setSonarillAsDefault() {
    const std::optional<AudioObjectID> device = audio::findDeviceByUID(virtualDeviceUID_);
    if (!device) {
        log("setSonarillAsDefault: ERROR \u2014 could not find Sonarill device (uid=" +
            virtualDeviceUID_ + ")");
        return Takeover::failed;
    }
    log("setSonarillAsDefault: setting deviceID=" + std::to_string(*device) + " as default output");
    const OSStatus outputStatus =
        setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, *device);
    log("setSonarillAsDefault: set default output -> status=" + std::to_string(outputStatus));
    if (outputStatus == noErr) {
        heldVirtualDeviceID_ = *device;
        fallbackOutputUID_.reset();
        outputPickedByUser_ = false;
    }
    const OSStatus systemStatus =
        setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, *device);
    log("setSonarillAsDefault: set default system output -> status=" +
        std::to_string(systemStatus));

    std::optional<std::string> nowDefault;
    if (const auto current = readDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice))
        nowDefault = audio::deviceUID(*current);
    log("setSonarillAsDefault: verification \u2014 default output is now: " +
        nowDefault.value_or("nil"));
    // The statuses decide: a read-back that fails says nothing about what was set.
    if (outputStatus != noErr)
        return Takeover::failed;
    if (systemStatus != noErr) {
        log("setSonarillAsDefault: WARNING default system output not changed");
        return Takeover::outputOnly;
    }
    return Takeover::complete;
}

} // namespace sonarill::routing
