// Running applications and their routes: discovery at start and on the timer, the routes
// remembered for each, and the browser's audio group that shares one route.

#include "routing/AudioRoutingViewModel.h"

#include "log/DebugLog.h"
#include "platform/RunningApplications.h"
#include "routing/ModelInternal.h"
#include "routing/RouteKeys.h"

#include <algorithm>
#include <chrono>

namespace sonarill::routing {

using DebugLog::log;
using detail::limitVolume;

namespace {

const char* const kChromeIconPath = "/Applications/Google Chrome.app";
constexpr auto kAppDiscoveryInterval = std::chrono::seconds(3);

} // namespace

bool AudioRoutingViewModel::isChromeAudioGroupMember(const std::string& bundleId) {
    return routing::isChromeAudioGroupMember(bundleId);
}

std::string AudioRoutingViewModel::routeKey(const std::string& bundleId) {
    return routing::routeKey(bundleId);
}

std::vector<AudioRoutingViewModel::RegularApp> AudioRoutingViewModel::regularApps() const {
    std::vector<RegularApp> regular;
    for (platform::RunningApplication& app : platform::runningApplications()) {
        if (app.policy != platform::ActivationPolicy::regular || app.bundleIdentifier.empty())
            continue;
        regular.push_back(
            {std::move(app.bundleIdentifier), std::move(app.name), std::move(app.icon)});
    }
    return regular;
}

RoutedApp AudioRoutingViewModel::makeRoutedApp(const RegularApp& app, const std::string& key,
                                               const std::string& defaultUID) const {
    const std::optional<PersistedAppRoute> stored = persistedRoute(key, defaultUID);
    RoutedApp routed;
    routed.bundleId = key;
    routed.deviceUid = resolveDeviceUID(stored ? stored->deviceUid : defaultUID, defaultUID);
    routed.volume = limitVolume(stored ? stored->volume : 1.0f);
    if (key == kChromeBaseBundleID) {
        routed.name = "Google Chrome";
        routed.icon = platform::iconForFile(kChromeIconPath);
    } else {
        routed.name = app.name.empty() ? "Unknown" : app.name;
        routed.icon = app.icon;
    }
    return routed;
}

void AudioRoutingViewModel::discoverAudioApps() {
    const std::vector<RegularApp> regular = regularApps();
    const std::string defaultUID = defaultRouteUID();
    log("discoverAudioApps: found " + std::to_string(regular.size()) +
        " regular apps, default route " + defaultUID);
    std::set<std::string> seen;
    std::vector<RoutedApp> apps;
    for (const RegularApp& app : regular) {
        const std::string key = routeKey(app.bundleId);
        if (!seen.insert(key).second)
            continue;
        RoutedApp routed = makeRoutedApp(app, key, defaultUID);
        persistVisibleRoute(key, routed.deviceUid, routed.volume);
        apps.push_back(std::move(routed));
    }
    willChange();
    routedApps_ = std::move(apps);
    for (const RoutedApp& app : routedApps_)
        log("  app: " + app.name + " (" + app.bundleId + ") -> " + app.deviceUid);
}

void AudioRoutingViewModel::refreshRunningApps() {
    if (isNotifying())
        return;
    const std::vector<RegularApp> regular = regularApps();
    std::set<std::string> runningKeys;
    for (const RegularApp& app : regular)
        runningKeys.insert(routeKey(app.bundleId));
    std::set<std::string> knownKeys;
    for (const RoutedApp& app : routedApps_)
        knownKeys.insert(app.bundleId);
    const std::string defaultUID = defaultRouteUID();

    bool added = false;
    std::set<std::string> seen;
    for (const RegularApp& app : regular) {
        const std::string key = routeKey(app.bundleId);
        if (!seen.insert(key).second || knownKeys.count(key))
            continue;
        RoutedApp routed = makeRoutedApp(app, key, defaultUID);
        log("refreshRunningApps: new app " + routed.name + " -> device " + routed.deviceUid);
        const std::string device = routed.deviceUid;
        const float volume = routed.volume;
        willChange();
        routedApps_.push_back(std::move(routed));
        persistVisibleRoute(key, device, volume);
        added = true;
    }

    const bool anyQuit = std::any_of(routedApps_.begin(), routedApps_.end(),
                                     [&](const auto& a) { return !runningKeys.count(a.bundleId); });
    if (anyQuit) {
        std::vector<RoutedApp> remaining;
        for (const RoutedApp& app : routedApps_) {
            if (runningKeys.count(app.bundleId))
                remaining.push_back(app);
            else
                log("refreshRunningApps: removed quit app " + app.name);
        }
        willChange();
        routedApps_ = std::move(remaining);
    }
    if (added)
        saveConfig();
}

std::vector<RoutedApp> AudioRoutingViewModel::apps(const std::string& routedTo) const {
    std::vector<RoutedApp> apps;
    for (const RoutedApp& app : routedApps_) {
        if (app.deviceUid == routedTo)
            apps.push_back(app);
    }
    return apps;
}

std::optional<PersistedAppRoute>
AudioRoutingViewModel::persistedRoute(const std::string& key,
                                      const std::string& defaultDeviceUID) const {
    if (isChromeAudioGroupMember(key)) {
        if (auto shared = preferredChromeSharedRoute(defaultDeviceUID))
            return shared;
    }
    const auto found = persistedAppRoutes_.find(key);
    if (found == persistedAppRoutes_.end())
        return std::nullopt;
    return found->second;
}

std::string AudioRoutingViewModel::resolveDeviceUID(const std::string& requested,
                                                    const std::string& fallback) const {
    if (!requested.empty() && hasDevice(requested))
        return requested;
    if (!fallback.empty() && hasDevice(fallback))
        return fallback;
    return {};
}

void AudioRoutingViewModel::persistVisibleRoute(const std::string& bundleId,
                                                const std::string& deviceUID, float volume) {
    const float limited = limitVolume(volume);
    if (bundleId == kChromeBaseBundleID)
        removeChromeAudioGroupRoutes();
    persistedAppRoutes_[bundleId] = {bundleId, deviceUID, limited};
}

std::optional<PersistedAppRoute>
AudioRoutingViewModel::preferredChromeSharedRoute(const std::string& defaultDeviceUID) const {
    // The list's own order decides between the two audio services: any fixed order will do.
    for (const std::string& service : kChromeAudioServiceBundleIDs) {
        const auto found = persistedAppRoutes_.find(service);
        if (found != persistedAppRoutes_.end() && !found->second.deviceUid.empty())
            return found->second;
    }
    const auto single = [&](bool awayFromDefault) -> std::optional<PersistedAppRoute> {
        std::optional<PersistedAppRoute> candidate;
        int count = 0;
        for (const auto& [key, route] : persistedAppRoutes_) {
            if (route.bundleId.rfind(kChromeHostedAppPrefix, 0) != 0 || route.deviceUid.empty())
                continue;
            if (awayFromDefault && route.deviceUid == defaultDeviceUID)
                continue;
            candidate = route;
            ++count;
        }
        return count == 1 ? candidate : std::nullopt;
    };
    if (auto hosted = single(true))
        return hosted;
    const auto base = persistedAppRoutes_.find(kChromeBaseBundleID);
    if (base != persistedAppRoutes_.end())
        return base->second;
    return single(false);
}

void AudioRoutingViewModel::removeChromeAudioGroupRoutes() {
    for (auto it = persistedAppRoutes_.begin(); it != persistedAppRoutes_.end();) {
        if (isChromeAudioGroupMember(it->first))
            it = persistedAppRoutes_.erase(it);
        else
            ++it;
    }
}

void AudioRoutingViewModel::normalizeSharedAudioGroupRoutes() {
    const std::string defaultUID = defaultRouteUID();
    const std::optional<PersistedAppRoute> chosen = preferredChromeSharedRoute(defaultUID);
    if (!chosen)
        return;
    const std::string device = resolveDeviceUID(chosen->deviceUid, defaultUID);
    const float volume = limitVolume(chosen->volume);
    removeChromeAudioGroupRoutes();
    persistedAppRoutes_[kChromeBaseBundleID] = {kChromeBaseBundleID, device, volume};
}

void AudioRoutingViewModel::startAppDiscoveryTimer() {
    platform::MainQueue& queue = environment_.mainQueue;
    std::weak_ptr<AudioRoutingViewModel> weak = weak_from_this();
    appDiscoveryTimer_ = queue.scheduleRepeating(kAppDiscoveryInterval, [&queue, weak] {
        queue.post([weak] {
            if (const auto model = weak.lock())
                model->refreshRunningApps();
        });
    });
}

} // namespace sonarill::routing
