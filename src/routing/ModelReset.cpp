// Resetting the routing to its defaults when the settings ask for it: the device on bus 0 kept as
// the only one, names and volumes cleared, every application on it.

#include "routing/AudioRoutingViewModel.h"

#include "forwarder/AudioForwarder.h"
#include "log/DebugLog.h"

namespace sonarill::routing {

using DebugLog::log;

void AudioRoutingViewModel::observeResetConfigNotifications() {
    platform::MainQueue& queue = environment_.mainQueue;
    std::weak_ptr<AudioRoutingViewModel> weak = weak_from_this();
    resetConfigObserver_ = environment_.notifications.observe(
        std::string(platform::kResetConfigNotification), [&queue, weak] {
            queue.post([weak] {
                if (const auto model = weak.lock())
                    model->resetConfigurationToDefaults();
            });
        });
}

void AudioRoutingViewModel::resetConfigurationToDefaults() {
    if (isNotifying())
        return;
    log("resetConfigurationToDefaults: resetting in-memory routing state");
    persistedAppRoutes_.clear();
    absentDeviceRecords_.clear();

    // The device on bus 0 stays, if it is still an enabled device; a device that has gone is
    // not chosen over one that is there.
    std::optional<std::string> preferred;
    const std::vector<std::string> playing = environment_.forwarder.currentOutputUIDs();
    const AudioDevice* first = playing.empty() ? nullptr : findDevice(playing.front());
    if (first != nullptr && first->enabled)
        preferred = first->uid;
    else if (const std::vector<AudioDevice> active = activeDevices(); !active.empty())
        preferred = active.front().uid;
    else if (!allDevices_.empty())
        preferred = allDevices_.front().uid;

    std::vector<AudioDevice> devices = allDevices_;
    for (AudioDevice& device : devices) {
        device.enabled = false;
        device.customName.reset();
        device.masterVolume = 1.0f;
    }
    setAllDevices(std::move(devices));
    if (preferred && hasDevice(*preferred)) {
        willChange();
        findDevice(*preferred)->enabled = true;
    } else if (!allDevices_.empty()) {
        willChange();
        allDevices_.front().enabled = true;
    }
    normalizeDeviceOrdering(preferred);

    const std::string target = defaultRouteUID();
    std::vector<RoutedApp> apps = routedApps_;
    for (RoutedApp& app : apps) {
        app.volume = 1.0f;
        app.deviceUid = target;
    }
    willChange();
    routedApps_ = std::move(apps);
    for (const RoutedApp& app : routedApps_)
        persistVisibleRoute(app.bundleId, target, 1.0f);
    syncForwarder();
    saveConfig();
}

} // namespace sonarill::routing
