// Device arrival and departure: the device-list listener and what a change does (a device
// unplugged, plugged in, or back under a new ID, the virtual device included).

#include "routing/AudioRoutingViewModel.h"

#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "log/DebugLog.h"
#include "routing/ModelInternal.h"

#include <algorithm>
#include <mutex>

namespace sonarill::routing {

using DebugLog::log;
using detail::DeviceListReading;
using detail::readDeviceList;
using detail::systemAddress;
using detail::transportType;

// What the device-list listener reaches from the audio system's thread. It is never freed: a call
// already under way when the listener is removed may still use it.
struct AudioRoutingViewModel::ListenerContext {
    std::mutex mutex;
    platform::MainQueue* mainQueue = nullptr; // null once the model has gone
    std::weak_ptr<AudioRoutingViewModel> model;

    // Also registered for the default output, which the model follows too.
    static OSStatus deviceListChanged(AudioObjectID, UInt32 count,
                                      const AudioObjectPropertyAddress* addresses,
                                      void* clientData) {
        auto* context = static_cast<ListenerContext*>(clientData);
        const bool defaultOutput =
            count > 0 && addresses[0].mSelector == kAudioHardwarePropertyDefaultOutputDevice;
        std::lock_guard lock(context->mutex);
        if (context->mainQueue == nullptr)
            return noErr;
        context->mainQueue->post([model = context->model, defaultOutput] {
            if (const auto strong = model.lock())
                defaultOutput ? strong->handleDefaultOutputChanged()
                              : strong->handleDeviceListChanged();
        });
        return noErr;
    }

    // Kept reachable for the life of the process, so leak checkers see no leak.
    static std::shared_ptr<ListenerContext> make() {
        static std::mutex mutex;
        static std::vector<std::shared_ptr<ListenerContext>> everyContext;
        auto context = std::make_shared<ListenerContext>();
        std::lock_guard lock(mutex);
        everyContext.push_back(context);
        return context;
    }
};

void AudioRoutingViewModel::registerDeviceChangeListener() {
    auto context = ListenerContext::make();
    context->mainQueue = &environment_.mainQueue;
    context->model = weak_from_this();
    const AudioObjectPropertyAddress address = systemAddress(kAudioHardwarePropertyDevices);
    const OSStatus status = AudioObjectAddPropertyListener(
        kAudioObjectSystemObject, &address, &ListenerContext::deviceListChanged, context.get());
    if (status != noErr) {
        log("registerDeviceChangeListener: ERROR adding listener: " + std::to_string(status));
        return;
    }
    const AudioObjectPropertyAddress defaultOutput =
        systemAddress(kAudioHardwarePropertyDefaultOutputDevice);
    if (const OSStatus followed =
            AudioObjectAddPropertyListener(kAudioObjectSystemObject, &defaultOutput,
                                           &ListenerContext::deviceListChanged, context.get());
        followed != noErr)
        log("registerDeviceChangeListener: WARNING not following the default output: " +
            std::to_string(followed));
    deviceChangeListener_ = std::move(context);
    log("registerDeviceChangeListener: registered");
    // Changes between loading the list and registering would otherwise go unnoticed.
    ListenerContext::deviceListChanged(kAudioObjectSystemObject, 1, &address,
                                       deviceChangeListener_.get());
}

void AudioRoutingViewModel::unregisterDeviceChangeListener() {
    if (!deviceChangeListener_)
        return;
    for (const AudioObjectPropertySelector selector :
         {kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultOutputDevice}) {
        const AudioObjectPropertyAddress address = systemAddress(selector);
        (void)AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &address,
                                                &ListenerContext::deviceListChanged,
                                                deviceChangeListener_.get());
    }
    std::lock_guard lock(deviceChangeListener_->mutex);
    deviceChangeListener_->mainQueue = nullptr;
    deviceChangeListener_.reset();
}

void AudioRoutingViewModel::rememberDeviceIDs(const std::vector<AudioObjectID>& ids) {
    lastSeenDeviceIDs_.clear();
    for (const AudioObjectID id : ids) {
        if (const auto uid = audio::deviceUID(id))
            lastSeenDeviceIDs_.emplace(*uid, id);
    }
}

void AudioRoutingViewModel::handleDeviceListChanged() {
    if (isNotifying())
        return;
    const DeviceListReading reading = readDeviceList();
    if (reading.status() != noErr) {
        log("handleDeviceListChanged: WARNING could not read device list: " +
            std::to_string(reading.status()) + "; devices left as they are");
        return;
    }
    if (deviceListUnavailable_) {
        finishDelayedStart();
        return;
    }

    struct Present {
        AudioObjectID id;
        std::string uid;
    };
    std::vector<Present> present;
    std::set<std::string> presentUIDs;
    for (const AudioObjectID id : reading.ids) {
        if (!audio::hasStreams(id, kAudioObjectPropertyScopeOutput))
            continue;
        const std::optional<std::string> uid = audio::deviceUID(id);
        if (!uid)
            continue;
        present.push_back({id, *uid});
        presentUIDs.insert(*uid);
    }

    std::vector<std::pair<std::string, std::string>> gone;
    for (const AudioDevice& device : allDevices_) {
        if (device.enabled && !presentUIDs.count(device.uid))
            gone.emplace_back(device.uid, device.name);
    }
    for (const auto& [uid, name] : gone) {
        log("handleDeviceListChanged: device disconnected: " + name + " (" + uid + ")");
        setDeviceEnabled(uid, false);
    }
    // Undocked: the applications would play nowhere until the user acted.
    if (!gone.empty() && activeDevices().empty()) {
        const auto remaining =
            std::find_if(allDevices_.begin(), allDevices_.end(),
                         [&](const auto& d) { return presentUIDs.count(d.uid); });
        if (remaining != allDevices_.end()) {
            const std::string uid = remaining->uid;
            log("handleDeviceListChanged: no active device left; enabling " + remaining->name +
                " (" + uid + ")");
            setDeviceEnabled(uid, true);
        }
    }

    restartReappearedDevices(reading.ids);

    std::set<std::string> known;
    for (const AudioDevice& device : allDevices_)
        known.insert(device.uid);
    for (const Present& candidate : present) {
        if (known.count(candidate.uid) || candidate.uid == virtualDeviceUID_)
            continue;
        const std::optional<std::string> uid = audio::deviceUID(candidate.id);
        const std::optional<std::string> name = audio::deviceName(candidate.id);
        if (!uid || !name || transportType(candidate.id) == kAudioDeviceTransportTypeAggregate)
            continue;
        int64_t sortOrder = 0;
        for (const AudioDevice& device : allDevices_)
            sortOrder = std::max(sortOrder, device.sortOrder + 1);
        willChange();
        allDevices_.push_back({*uid, *name, std::nullopt, false, sortOrder, 1.0f});
        known.insert(*uid);
        log("handleDeviceListChanged: new device appeared: " + *name + " (" + *uid + ")");
        applyAbsentDeviceRecord(*uid);
    }
    finishPendingTakeover();
}

// A launch without the virtual device starts routing the first time it appears; a takeover that
// found no output to give back tries again at every change.
void AudioRoutingViewModel::finishPendingTakeover() {
    if (awaitingVirtualDevice_ && lastSeenDeviceIDs_.count(virtualDeviceUID_)) {
        log("handleDeviceListChanged: Sonarill device appeared; starting routing");
        takeOverSystemOutput();
        awaitingVirtualDevice_ = false; // once
        saveConfig();
    } else if (awaitingOriginalOutput_ && !awaitingVirtualDevice_) {
        takeOverSystemOutput();
    }
}

// A device that went and came back between two events has a new object ID, and the pipeline
// bound to the old one plays to nothing. When the virtual device itself came back (the audio
// server restarted), its driver lost the configuration and every pipeline reads a dead device.
void AudioRoutingViewModel::restartReappearedDevices(const std::vector<AudioObjectID>& ids) {
    const std::map<std::string, AudioObjectID> previous = lastSeenDeviceIDs_;
    rememberDeviceIDs(ids);
    const auto changed = [&](const std::string& uid) {
        const auto before = previous.find(uid);
        const auto now = lastSeenDeviceIDs_.find(uid);
        return before != previous.end() && now != lastSeenDeviceIDs_.end() &&
               before->second != now->second;
    };
    const bool virtualChanged = changed(virtualDeviceUID_);
    std::set<std::string> restart;
    for (const AudioDevice& device : activeDevices()) {
        if (changed(device.uid)) {
            log("handleDeviceListChanged: device reappeared with a new ID: " + device.name + " (" +
                device.uid + ")");
            restart.insert(device.uid);
        } else if (virtualChanged) {
            restart.insert(device.uid);
        }
    }
    const bool virtualAppeared =
        !previous.count(virtualDeviceUID_) && lastSeenDeviceIDs_.count(virtualDeviceUID_);
    if (virtualChanged || virtualAppeared) {
        log("handleDeviceListChanged: Sonarill device reappeared; pushing configuration");
        pushConfigToDriver(makeConfigYAML());
        if (!isForwarding_)
            return;
        for (const AudioDevice& device : activeDevices())
            restart.insert(device.uid);
    }
    if (!restart.empty() && !environment_.forwarder.restartPipelines(restart))
        log("handleDeviceListChanged: ERROR failed to restart forwarding");
    // A restart that failed while the virtual device was away left devices without a pipeline.
    if ((virtualChanged || virtualAppeared) && syncForwarder())
        retakeSystemOutput();
}

// While the virtual device went away, the system moved the default output to another device: the
// one it holds when the virtual device is back is taken back, unless the user picked it.
void AudioRoutingViewModel::retakeSystemOutput() {
    const std::optional<AudioObjectID> device =
        detail::readDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
    const std::optional<std::string> current = device ? audio::deviceUID(*device) : std::nullopt;
    if (!current || *current == virtualDeviceUID_)
        return;
    if (outputPickedByUser_ || (fallbackOutputUID_ && *fallbackOutputUID_ != *current)) {
        log("handleDeviceListChanged: default output left on " + *current +
            ", which the user picked");
        return;
    }
    log("handleDeviceListChanged: taking the default output back from " + *current);
    (void)setSonarillAsDefault();
}

// Tells a default output the user picked from one the system fell back to. The user picks while
// the virtual device stays; the system moves the default when it goes (or comes back under a new
// ID), and a later change while it is away is the user's again.
void AudioRoutingViewModel::handleDefaultOutputChanged() {
    if (!isForwarding_ || isNotifying())
        return;
    const std::optional<AudioObjectID> device =
        detail::readDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice);
    const std::optional<std::string> current = device ? audio::deviceUID(*device) : std::nullopt;
    if (!current)
        return;
    if (*current == virtualDeviceUID_) {
        outputPickedByUser_ = false;
        fallbackOutputUID_.reset();
    } else if (audio::findDeviceByUID(virtualDeviceUID_) == heldVirtualDeviceID_ ||
               (fallbackOutputUID_ && *fallbackOutputUID_ != *current)) {
        outputPickedByUser_ = true;
    } else {
        fallbackOutputUID_ = current;
    }
}

} // namespace sonarill::routing
