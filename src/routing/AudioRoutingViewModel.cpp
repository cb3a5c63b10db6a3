#include "routing/AudioRoutingViewModel.h"

#include "audio/CFString.h"
#include "audio/DeviceLookup.h"
#include "base/Files.h"
#include "forwarder/AudioForwarder.h"
#include "forwarder/Callbacks.h"
#include "log/DebugLog.h"
#include "platform/RunningApplications.h"
#include "routing/ConfigText.h"
#include "routing/UnicodeText.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>

namespace sonarill::routing {

using DebugLog::log;
using forwarder::formatShortestFloat;
using forwarder::quotedList;

namespace {

const std::string kChromeBaseBundleID = "com.google.Chrome";
const std::string kChromeHostedAppPrefix = "com.google.Chrome.app.";
const std::set<std::string> kChromeAudioServiceBundleIDs = {"com.google.Chrome.helper",
                                                            "com.google.Chrome.helper.renderer"};
const char* const kChromeIconPath = "/Applications/Google Chrome.app";
constexpr auto kAppDiscoveryInterval = std::chrono::seconds(3);

float limitVolume(float volume) {
    return forwarder::clampVolume(volume);
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

AudioObjectPropertyAddress systemAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::optional<AudioObjectID> readDefaultDevice(AudioObjectPropertySelector which) {
    const AudioObjectPropertyAddress address = systemAddress(which);
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof(device);
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                   &device) != noErr)
        return std::nullopt;
    return device;
}

OSStatus setDefaultDevice(AudioObjectPropertySelector which, AudioObjectID device) {
    const AudioObjectPropertyAddress address = systemAddress(which);
    return AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr,
                                      sizeof(device), &device);
}

// The device list with the status of each step, which the device lookups do not report: a list
// that cannot be read is not a list without devices.
struct DeviceListReading {
    OSStatus sizeStatus = noErr;
    OSStatus listStatus = noErr;
    std::vector<AudioObjectID> ids;

    OSStatus status() const { return sizeStatus != noErr ? sizeStatus : listStatus; }
};

DeviceListReading readDeviceList() {
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

UInt32 transportType(AudioObjectID device) {
    const AudioObjectPropertyAddress address = systemAddress(kAudioDevicePropertyTransportType);
    UInt32 transport = 0;
    UInt32 size = sizeof(transport);
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &transport) != noErr)
        return 0;
    return transport;
}

std::optional<std::string> trimmedCustomName(const std::optional<std::string>& customName,
                                             const std::string& deviceName) {
    if (!customName)
        return std::nullopt;
    const std::string trimmed(trimWhitespaceAndNewlines(*customName));
    if (trimmed.empty() || trimmed == deviceName)
        return std::nullopt;
    return trimmed;
}

} // namespace

std::optional<std::filesystem::path> defaultConfigPath() {
    const std::optional<std::filesystem::path> home = base::homeFolder();
    if (!home)
        return std::nullopt;
    return *home / "Library" / "Application Support" / "Sonarill" / "config.yaml";
}

// MARK: Observers

struct AudioRoutingViewModel::ObserverList {
    struct Entry {
        std::function<void()> callback;
        bool active = true;
    };
    std::map<uint64_t, std::shared_ptr<Entry>> entries;
    uint64_t nextId = 1;
    bool notifying = false;
};

AudioRoutingViewModel::Observation&
AudioRoutingViewModel::Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        cancel();
        list_ = std::move(other.list_);
        id_ = other.id_;
    }
    return *this;
}

void AudioRoutingViewModel::Observation::cancel() {
    if (const std::shared_ptr<ObserverList> list = list_.lock()) {
        const auto found = list->entries.find(id_);
        if (found != list->entries.end()) {
            found->second->active = false;
            list->entries.erase(found);
        }
    }
    list_.reset();
}

AudioRoutingViewModel::Observation
AudioRoutingViewModel::observeWillChange(std::function<void()> observer) {
    const uint64_t id = observers_->nextId++;
    observers_->entries.emplace(
        id, std::make_shared<ObserverList::Entry>(ObserverList::Entry{std::move(observer)}));
    return Observation(observers_, id);
}

void AudioRoutingViewModel::willChange() {
    if (observers_->entries.empty())
        return;
    std::vector<std::shared_ptr<ObserverList::Entry>> entries;
    for (const auto& [id, entry] : observers_->entries)
        entries.push_back(entry);
    observers_->notifying = true;
    for (const auto& entry : entries) {
        if (entry->active)
            entry->callback();
    }
    observers_->notifying = false;
}

bool AudioRoutingViewModel::isNotifying() const {
    return observers_->notifying;
}

void AudioRoutingViewModel::setAllDevices(std::vector<AudioDevice> devices) {
    willChange();
    allDevices_ = std::move(devices);
}

// MARK: Life

// What the device-list listener reaches from the audio system's thread. It is never freed: a call
// already under way when the listener is removed may still use it.
struct AudioRoutingViewModel::ListenerContext {
    std::mutex mutex;
    platform::MainQueue* mainQueue = nullptr; // null once the model has gone
    std::weak_ptr<AudioRoutingViewModel> model;

    static OSStatus deviceListChanged(AudioObjectID, UInt32, const AudioObjectPropertyAddress*,
                                      void* clientData) {
        auto* context = static_cast<ListenerContext*>(clientData);
        std::lock_guard lock(context->mutex);
        if (context->mainQueue == nullptr)
            return noErr;
        context->mainQueue->post([model = context->model] {
            if (const auto strong = model.lock())
                strong->handleDeviceListChanged();
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

// MARK: Devices

bool AudioRoutingViewModel::loadOutputDevices() {
    std::optional<std::string> defaultUID;
    if (const auto device = readDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice))
        defaultUID = audio::deviceUID(*device);
    startupOutputUID_ = defaultUID;
    if (defaultUID == virtualDeviceUID_)
        startupOutputUID_.reset();
    log("loadOutputDevices: current default output UID = " + defaultUID.value_or("nil"));

    const DeviceListReading reading = readDeviceList();
    if (reading.sizeStatus != noErr) {
        log("loadOutputDevices: ERROR getting device list size: " +
            std::to_string(reading.sizeStatus));
        return false;
    }
    if (reading.listStatus != noErr) {
        log("loadOutputDevices: ERROR getting device list: " + std::to_string(reading.listStatus));
        return false;
    }
    log("loadOutputDevices: found " + std::to_string(reading.ids.size()) + " total audio devices");

    std::vector<AudioDevice> devices;
    std::set<std::string> seenUIDs;
    int64_t nextSortOrder = 0;
    for (const AudioObjectID id : reading.ids) {
        if (auto device = probeDevice(id, seenUIDs, nextSortOrder))
            devices.push_back(std::move(*device));
    }
    if (!devices.empty() &&
        std::none_of(devices.begin(), devices.end(), [](const auto& d) { return d.enabled; })) {
        devices.front().enabled = true;
        startupOutputUID_ = devices.front().uid;
        log("loadOutputDevices: no device matched default, enabling first: " +
            devices.front().name);
    }
    setAllDevices(std::move(devices));
    normalizeDeviceOrdering(std::nullopt);
    rememberDeviceIDs(reading.ids);

    log("loadOutputDevices: final device list (" + std::to_string(allDevices_.size()) +
        " devices):");
    for (const AudioDevice& device : allDevices_)
        log(std::string("  ") + (device.enabled ? "\u2713" : "\u25CB") + " " + device.name +
            " uid=" + device.uid);
    return true;
}

std::optional<AudioDevice> AudioRoutingViewModel::probeDevice(AudioObjectID id,
                                                              std::set<std::string>& seenUIDs,
                                                              int64_t& nextSortOrder) const {
    const std::string uid = audio::deviceUID(id).value_or("unknown-" + std::to_string(id));
    const std::string name = audio::deviceName(id).value_or("Unknown Device");
    const bool hasOutput = audio::hasStreams(id, kAudioObjectPropertyScopeOutput);
    const bool hasInput = audio::hasStreams(id, kAudioObjectPropertyScopeInput);
    const UInt32 transport = transportType(id);
    log("  device id=" + std::to_string(id) + " uid=" + uid + " name=" + name +
        " hasOutput=" + boolText(hasOutput) + " hasInput=" + boolText(hasInput) +
        " transport=" + audio::fourCCString(transport));
    if (!hasOutput) {
        log("    -> skipped (no output streams)");
        return std::nullopt;
    }
    if (uid == virtualDeviceUID_) {
        log("    -> skipped (is Sonarill itself)");
        return std::nullopt;
    }
    if (transport == kAudioDeviceTransportTypeAggregate) {
        log("    -> skipped (aggregate device)");
        return std::nullopt;
    }
    if (!seenUIDs.insert(uid).second) {
        log("    -> skipped (duplicate)");
        return std::nullopt;
    }
    const bool enabled = startupOutputUID_ == uid;
    log(std::string("    -> INCLUDED enabled=") + boolText(enabled));
    return AudioDevice{uid, name, std::nullopt, enabled, nextSortOrder++, 1.0f};
}

void AudioRoutingViewModel::applyPersistedDevices(const std::vector<PersistedDevice>& records) {
    if (records.empty())
        return;
    // The first record of a UID wins, as the writer never writes two.
    std::map<std::string, const PersistedDevice*> byUID;
    for (const PersistedDevice& record : records)
        byUID.emplace(record.uid, &record);
    std::vector<AudioDevice> devices = allDevices_;
    for (AudioDevice& device : devices) {
        const auto found = byUID.find(device.uid);
        if (found == byUID.end())
            continue;
        const PersistedDevice& record = *found->second;
        device.customName = trimmedCustomName(record.customName, device.name);
        device.enabled = record.enabled;
        device.sortOrder = record.sortOrder;
        device.masterVolume = limitVolume(record.masterVolume);
    }
    setAllDevices(std::move(devices));
    normalizeDeviceOrdering(std::nullopt);
}

void AudioRoutingViewModel::normalizeDeviceOrdering(
    const std::optional<std::string>& preferredFirstUID) {
    struct Keyed {
        std::string displayName;
        AudioDevice device;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(allDevices_.size());
    for (const AudioDevice& device : allDevices_)
        keyed.push_back({device.displayName(), device});
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.device.sortOrder != b.device.sortOrder)
            return a.device.sortOrder < b.device.sortOrder;
        return localizedCaseInsensitiveLess(a.displayName, b.displayName);
    });
    std::vector<AudioDevice> devices;
    devices.reserve(keyed.size());
    for (Keyed& entry : keyed)
        devices.push_back(std::move(entry.device));
    if (preferredFirstUID) {
        const auto found = std::find_if(devices.begin(), devices.end(),
                                        [&](const auto& d) { return d.uid == *preferredFirstUID; });
        if (found != devices.end())
            std::rotate(devices.begin(), found, found + 1);
    }
    for (size_t i = 0; i < devices.size(); ++i)
        devices[i].sortOrder = static_cast<int64_t>(i);
    setAllDevices(std::move(devices));
}

std::vector<AudioDevice> AudioRoutingViewModel::activeDevices() const {
    std::vector<AudioDevice> active;
    for (const AudioDevice& device : allDevices_) {
        if (device.enabled)
            active.push_back(device);
    }
    std::stable_sort(active.begin(), active.end(),
                     [](const auto& a, const auto& b) { return a.sortOrder < b.sortOrder; });
    return active;
}

std::set<std::string> AudioRoutingViewModel::routedDeviceUIDs() const {
    std::set<std::string> uids;
    for (const RoutedApp& app : routedApps_) {
        if (!app.deviceUid.empty())
            uids.insert(app.deviceUid);
    }
    return uids;
}

std::vector<AudioDevice> AudioRoutingViewModel::usedDevices() const {
    const std::set<std::string> routed = routedDeviceUIDs();
    std::vector<AudioDevice> used;
    for (AudioDevice& device : activeDevices()) {
        if (routed.count(device.uid))
            used.push_back(std::move(device));
    }
    return used;
}

std::vector<AudioDevice> AudioRoutingViewModel::unusedDevices() const {
    const std::set<std::string> routed = routedDeviceUIDs();
    std::vector<AudioDevice> unused;
    for (const AudioDevice& device : allDevices_) {
        if (!(device.enabled && routed.count(device.uid)))
            unused.push_back(device);
    }
    // allDevices is kept in device order, and a subsequence of it stays in that order.
    return unused;
}

std::string AudioRoutingViewModel::defaultRouteUID() const {
    const std::vector<AudioDevice> active = activeDevices();
    return active.empty() ? std::string() : active.front().uid;
}

AudioDevice* AudioRoutingViewModel::findDevice(const std::string& uid) {
    const auto found = std::find_if(allDevices_.begin(), allDevices_.end(),
                                    [&](const AudioDevice& d) { return d.uid == uid; });
    return found == allDevices_.end() ? nullptr : &*found;
}

bool AudioRoutingViewModel::hasDevice(const std::string& uid) const {
    return std::any_of(allDevices_.begin(), allDevices_.end(),
                       [&](const AudioDevice& d) { return d.uid == uid; });
}

int64_t AudioRoutingViewModel::nextActiveSortOrder() const {
    int64_t highest = -1;
    for (const AudioDevice& device : allDevices_) {
        if (device.enabled)
            highest = std::max(highest, device.sortOrder);
    }
    return highest + 1;
}

bool AudioRoutingViewModel::enableDeviceForRouting(const std::string& uid) {
    const AudioDevice* device = findDevice(uid);
    if (device == nullptr || device->enabled)
        return false;
    const int64_t sortOrder = nextActiveSortOrder();
    willChange();
    AudioDevice* target = findDevice(uid);
    target->enabled = true;
    target->sortOrder = sortOrder;
    normalizeDeviceOrdering(std::nullopt);
    return true;
}

// MARK: Applications

bool AudioRoutingViewModel::isChromeAudioGroupMember(const std::string& bundleId) {
    return bundleId == kChromeBaseBundleID || kChromeAudioServiceBundleIDs.count(bundleId) ||
           bundleId.rfind(kChromeHostedAppPrefix, 0) == 0;
}

std::string AudioRoutingViewModel::routeKey(const std::string& bundleId) {
    return isChromeAudioGroupMember(bundleId) ? kChromeBaseBundleID : bundleId;
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
    // The set's own order decides between the two audio services: any fixed order will do.
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

// MARK: Routing operations

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
    if (isNotifying() || findDevice(uid) == nullptr)
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
    if (app == nullptr)
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

// MARK: Start-up, the system output and the reset

void AudioRoutingViewModel::applyStartupOutputPreference() {
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
    const OSStatus systemStatus =
        setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, *device);
    log("setSonarillAsDefault: set default system output -> status=" +
        std::to_string(systemStatus));

    std::optional<std::string> nowDefault;
    if (const auto current = readDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice))
        nowDefault = audio::deviceUID(*current);
    log("setSonarillAsDefault: verification \u2014 default output is now: " +
        nowDefault.value_or("nil"));
    if (outputStatus == noErr && systemStatus == noErr)
        return Takeover::complete;
    if (nowDefault == virtualDeviceUID_) {
        log("setSonarillAsDefault: WARNING default system output not changed");
        return Takeover::outputOnly;
    }
    return Takeover::failed;
}

bool AudioRoutingViewModel::syncForwarder() {
    const std::vector<AudioDevice> active = activeDevices();
    std::vector<forwarder::OutputRoute> routes;
    std::vector<std::string> deviceTexts;
    std::vector<std::string> routeTexts;
    for (size_t bus = 0; bus < active.size(); ++bus) {
        const AudioDevice& device = active[bus];
        routes.push_back({device.uid, static_cast<int64_t>(bus), device.masterVolume});
        deviceTexts.push_back(device.displayName() + "(" + device.uid + ")");
        routeTexts.push_back(device.uid + "@bus" + std::to_string(bus) +
                             " vol=" + formatShortestFloat(device.masterVolume));
    }
    log("syncForwarder: activeDevices=" + quotedList(deviceTexts));
    log("syncForwarder: routes=" + quotedList(routeTexts));
    const bool accepted = environment_.forwarder.setOutputRoutes(routes);
    if (!accepted)
        log("syncForwarder: ERROR failed to apply output routes");
    return accepted;
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
    deviceChangeListener_ = std::move(context);
    log("registerDeviceChangeListener: registered");
    // Changes between loading the list and registering would otherwise go unnoticed.
    ListenerContext::deviceListChanged(kAudioObjectSystemObject, 1, &address,
                                       deviceChangeListener_.get());
}

void AudioRoutingViewModel::unregisterDeviceChangeListener() {
    if (!deviceChangeListener_)
        return;
    const AudioObjectPropertyAddress address = systemAddress(kAudioHardwarePropertyDevices);
    (void)AudioObjectRemovePropertyListener(kAudioObjectSystemObject, &address,
                                            &ListenerContext::deviceListChanged,
                                            deviceChangeListener_.get());
    std::lock_guard lock(deviceChangeListener_->mutex);
    deviceChangeListener_->mainQueue = nullptr;
    deviceChangeListener_.reset();
}

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

// MARK: Device arrival and departure

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
    if (virtualChanged || virtualAppeared)
        syncForwarder();
}

// MARK: Configuration

std::string AudioRoutingViewModel::makeConfigYAML() const {
    PersistedConfig config;
    for (const AudioDevice& device : allDevices_)
        config.devices.push_back(toPersisted(device));
    for (const auto& [key, route] : persistedAppRoutes_)
        config.appRoutes.push_back(route);
    return routing::makeConfigYAML(config);
}

void AudioRoutingViewModel::loadConfig() {
    const std::filesystem::path& path = environment_.configPath;
    std::error_code error;
    if (path.empty() || !std::filesystem::exists(path, error)) {
        log("loadConfig: no config file found at " + path.string());
        return;
    }
    const base::Expected<std::string> data = base::readFileBounded(path);
    if (!data) {
        log("loadConfig: ERROR reading config: " + path.string() + " " + data.error());
        configNeedsKeeping_ = true;
        return;
    }
    const base::Expected<PersistedConfig> config = decodePersistedConfig(*data);
    if (!config) {
        log("loadConfig: unsupported format at " + path.string() + ", keeping discovered defaults");
        log("loadConfig: " + config.error());
        configNeedsKeeping_ = true;
        return;
    }
    configNeedsKeeping_ = false;
    applyPersistedDevices(config->devices);
    persistedAppRoutes_.clear();
    for (const PersistedAppRoute& route : config->appRoutes)
        persistedAppRoutes_[route.bundleId] = {route.bundleId, route.deviceUid,
                                               limitVolume(route.volume)};
    log("loadConfig: loaded " + std::to_string(config->devices.size()) + " devices, " +
        std::to_string(config->appRoutes.size()) + " routes");
}

// The user's settings in a file this version cannot read are not saved over: the file moves
// aside first (a rename, since it cannot be read to be copied).
bool AudioRoutingViewModel::keepUnreadableConfig() {
    const std::filesystem::path& path = environment_.configPath;
    std::error_code error;
    if (!std::filesystem::exists(path, error) && !error) {
        configNeedsKeeping_ = false; // gone meanwhile: nothing left to lose
        return true;
    }
    std::filesystem::path kept = path;
    kept += ".unreadable";
    std::filesystem::rename(path, kept, error);
    if (error)
        return false;
    configNeedsKeeping_ = false;
    log("loadConfig: kept unreadable config as " + kept.string());
    return true;
}

void AudioRoutingViewModel::saveConfig() {
    const std::string yaml = makeConfigYAML();
    const std::filesystem::path& path = environment_.configPath;
    if (deviceListUnavailable_) {
        log("saveConfig: device list unavailable; file left unchanged");
    } else if (configNeedsKeeping_ && !keepUnreadableConfig()) {
        log("saveConfig: ERROR could not keep unreadable config; file left unchanged");
    } else if (path.empty()) {
        log("saveConfig: ERROR writing config: no home folder");
    } else if (const base::Expected<void> written = base::writeFileAtomically(path, yaml);
               !written) {
        log("saveConfig: ERROR writing config: " + path.string() + " " + written.error());
    } else {
        log("saveConfig: wrote " + std::to_string(allDevices_.size()) + " devices, " +
            std::to_string(persistedAppRoutes_.size()) + " routes to " + path.string());
    }
    pushConfigToDriver(yaml);
}

void AudioRoutingViewModel::pushConfigToDriver(const std::string& yaml) {
    const std::optional<AudioObjectID> device = audio::findDeviceByUID(virtualDeviceUID_);
    if (!device) {
        log("pushConfigToDriver: Sonarill device not visible yet");
        return;
    }
    const AudioObjectPropertyAddress address{routeConfigPropertySelector_,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const audio::ScopedCFString text = audio::makeCFString(yaml);
    CFStringRef reference = text.get();
    const OSStatus status =
        AudioObjectSetPropertyData(*device, &address, 0, nullptr, sizeof(reference), &reference);
    if (status != noErr) {
        log("pushConfigToDriver: ERROR setting route config property: " + std::to_string(status));
        return;
    }
    log("pushConfigToDriver: pushed " + std::to_string(yaml.size()) + " bytes");
}

} // namespace sonarill::routing
