// The user's operations: moving an application, volumes, enabling, renaming and removing a
// device, and playing to one device only.

#include "routing/AudioRoutingViewModel.h"

#include "forwarder/AudioForwarder.h"
#include "log/DebugLog.h"
#include "routing/ModelInternal.h"

#include <algorithm>

namespace sonarill::routing {

using DebugLog::log;
using detail::boolText;
using detail::limitVolume;
using detail::trimmedCustomName;
using forwarder::formatShortestFloat;
using forwarder::quotedList;

RoutedApp* AudioRoutingViewModel::findApp(const std::string& bundleId) {
    const auto found = std::find_if(routedApps_.begin(), routedApps_.end(),
                                    [&](const RoutedApp& a) { return a.bundleId == bundleId; });
    return found == routedApps_.end() ? nullptr : &*found;
}

// Points the running applications that `matches` selects at `uid`, recording each one's route.
void AudioRoutingViewModel::repointApps(const std::function<bool(const RoutedApp&)>& matches,
                                        const std::string& uid, std::optional<float> resetVolume) {
    std::vector<RoutedApp> apps = routedApps_;
    std::vector<size_t> moved;
    for (size_t i = 0; i < apps.size(); ++i) {
        if (!matches(apps[i]))
            continue;
        apps[i].deviceUid = uid;
        if (resetVolume)
            apps[i].volume = *resetVolume;
        moved.push_back(i);
    }
    if (moved.empty())
        return;
    willChange();
    routedApps_ = std::move(apps);
    for (const size_t i : moved)
        persistVisibleRoute(routedApps_[i].bundleId, uid, routedApps_[i].volume);
}

void AudioRoutingViewModel::setVolume(const std::string& bundleId, float volume) {
    if (isNotifying())
        return;
    const RoutedApp* app = findApp(bundleId);
    if (app == nullptr)
        return;
    const float limited = limitVolume(volume);
    willChange();
    RoutedApp* target = findApp(bundleId);
    target->volume = limited;
    persistVisibleRoute(bundleId, target->deviceUid, limited);
    log("setVolume: app=" + target->name + " volume=" + formatShortestFloat(limited));
    saveConfig();
}

void AudioRoutingViewModel::setMasterVolume(const std::string& deviceUID, float volume) {
    if (isNotifying() || findDevice(deviceUID) == nullptr)
        return;
    willChange();
    AudioDevice* device = findDevice(deviceUID);
    device->masterVolume = limitVolume(volume);
    log("setMasterVolume: device=" + device->displayName() +
        " volume=" + formatShortestFloat(device->masterVolume));
    syncForwarder();
    saveConfig();
}

void AudioRoutingViewModel::setCustomName(const std::string& deviceUID,
                                          std::optional<std::string> customName) {
    if (isNotifying() || findDevice(deviceUID) == nullptr)
        return;
    willChange();
    AudioDevice* device = findDevice(deviceUID);
    device->customName = trimmedCustomName(customName, device->name);
    log("setCustomName: uid=" + deviceUID + " displayName=" + device->displayName());
    normalizeDeviceOrdering(std::nullopt);
    saveConfig();
}

bool AudioRoutingViewModel::canRemoveOutputDevice(const std::string& uid) const {
    const std::vector<AudioDevice> active = activeDevices();
    return active.size() > 1 && std::any_of(active.begin(), active.end(),
                                            [&](const AudioDevice& d) { return d.uid == uid; });
}

void AudioRoutingViewModel::switchToOnlyDevice(const std::string& uid) {
    if (isNotifying() || !hasDevice(uid))
        return;
    log("switchToOnlyDevice: uid=" + uid);
    std::vector<AudioDevice> devices = allDevices_;
    for (AudioDevice& device : devices)
        device.enabled = device.uid == uid;
    setAllDevices(std::move(devices));
    normalizeDeviceOrdering(uid);
    repointApps([](const RoutedApp&) { return true; }, uid);
    for (auto& [key, route] : persistedAppRoutes_)
        route.deviceUid = uid;
    normalizeSharedAudioGroupRoutes();
    syncForwarder();
    saveConfig();
}

void AudioRoutingViewModel::removeOutputDevice(const std::string& uid) {
    if (isNotifying() || !canRemoveOutputDevice(uid) || !hasDevice(uid))
        return;
    std::string fallback;
    for (const std::vector<AudioDevice>& candidates : {usedDevices(), activeDevices()}) {
        const auto found = std::find_if(candidates.begin(), candidates.end(),
                                        [&](const AudioDevice& d) { return d.uid != uid; });
        if (found != candidates.end()) {
            fallback = found->uid;
            break;
        }
    }
    if (fallback.empty())
        return;
    log("removeOutputDevice: uid=" + uid + " fallbackUID=" + fallback);
    willChange();
    findDevice(uid)->enabled = false;
    repointApps([&](const RoutedApp& app) { return app.deviceUid == uid; }, fallback);
    for (auto& [key, route] : persistedAppRoutes_) {
        if (route.deviceUid == uid)
            route.deviceUid = fallback;
    }
    normalizeSharedAudioGroupRoutes();
    normalizeDeviceOrdering(std::nullopt);
    syncForwarder();
    saveConfig();
}

void AudioRoutingViewModel::setDeviceEnabled(const std::string& uid, bool enabled) {
    if (isNotifying() || findDevice(uid) == nullptr ||
        (enabled && refuseEnabling("setDeviceEnabled", uid)))
        return;
    log("setDeviceEnabled: device=" + findDevice(uid)->name + " uid=" + uid +
        " enabled=" + boolText(enabled));
    std::optional<int64_t> sortOrder;
    if (enabled) {
        sortOrder = nextActiveSortOrder();
        log("  enabled -> sortOrder set to " + std::to_string(*sortOrder));
    }
    willChange();
    AudioDevice* device = findDevice(uid);
    device->enabled = enabled;
    if (sortOrder)
        device->sortOrder = *sortOrder;

    const std::vector<AudioDevice> active = activeDevices();
    if (enabled) {
        std::set<std::string> activeUIDs;
        for (const AudioDevice& d : active)
            activeUIDs.insert(d.uid);
        log("  enabled -> activeUIDs=" +
            quotedList(std::vector<std::string>(activeUIDs.begin(), activeUIDs.end())));
        repointApps(
            [&](const RoutedApp& app) {
                return app.deviceUid.empty() || !activeUIDs.count(app.deviceUid);
            },
            uid);
    } else {
        const std::string fallback = active.empty() ? std::string() : active.front().uid;
        log("  disabled -> reassigning apps to fallbackUID=" + fallback);
        repointApps([&](const RoutedApp& app) { return app.deviceUid == uid; }, fallback, 1.0f);
        for (auto& [key, route] : persistedAppRoutes_) {
            if (route.deviceUid == uid)
                route.deviceUid = fallback;
        }
    }
    normalizeDeviceOrdering(std::nullopt);
    syncForwarder();
    saveConfig();
}

void AudioRoutingViewModel::moveApp(const std::string& bundleId, const std::string& toDeviceUID) {
    if (isNotifying())
        return;
    const RoutedApp* app = findApp(bundleId);
    if (app == nullptr || refuseEnabling("moveApp", toDeviceUID))
        return;
    const float volume = app->volume;
    const bool enabledDevice = enableDeviceForRouting(toDeviceUID);
    app = findApp(bundleId);
    log("moveApp: " + app->name + " from " + app->deviceUid + " to " + toDeviceUID);
    willChange();
    findApp(bundleId)->deviceUid = toDeviceUID;
    persistVisibleRoute(bundleId, toDeviceUID, volume);
    if (enabledDevice)
        syncForwarder();
    saveConfig();
}

} // namespace sonarill::routing
