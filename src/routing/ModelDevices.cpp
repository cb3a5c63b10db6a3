// The device list: the outputs read at start, the saved settings applied to them, their order,
// and the views of the list (active, used, unused) that the rest of the model reads.

#include "routing/AudioRoutingViewModel.h"

#include "audio/DeviceLookup.h"
#include "log/DebugLog.h"
#include "routing/ModelInternal.h"
#include "routing/UnicodeText.h"

#include <algorithm>

namespace sonarill::routing {

using DebugLog::log;
using detail::boolText;
using detail::DeviceListReading;
using detail::limitVolume;
using detail::readDefaultDevice;
using detail::readDeviceList;
using detail::transportType;
using detail::trimmedCustomName;

bool AudioRoutingViewModel::loadOutputDevices() {
    readInputPairCount();
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
    absentDeviceRecords_.clear();
    if (records.empty())
        return;
    // The first record of a UID wins, as the writer never writes two.
    std::map<std::string, const PersistedDevice*> byUID;
    for (const PersistedDevice& record : records) {
        if (byUID.emplace(record.uid, &record).second && !hasDevice(record.uid))
            absentDeviceRecords_.push_back(record);
    }
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

// A file may enable more devices than there are input pairs to carry them: the first ones in bus
// order stay active, and the routes to the others go to the first, as a disabled device's do.
void AudioRoutingViewModel::limitActiveDevices() {
    const std::vector<AudioDevice> active = activeDevices();
    if (!inputPairCount_ || active.size() <= *inputPairCount_)
        return;
    std::vector<AudioDevice> devices = allDevices_;
    for (size_t i = *inputPairCount_; i < active.size(); ++i) {
        const std::string& uid = active[i].uid;
        log("limitActiveDevices: WARNING disabling " + active[i].name + " (" + uid + "): all " +
            std::to_string(*inputPairCount_) + " input pairs in use");
        for (AudioDevice& device : devices)
            device.enabled = device.enabled && device.uid != uid;
        for (auto& [key, route] : persistedAppRoutes_) {
            if (route.deviceUid == uid)
                route.deviceUid = active.front().uid;
        }
    }
    setAllDevices(std::move(devices));
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

// A device absent at launch takes its saved settings when it is plugged in: its name, its volume,
// its place in the order and, when a pair is free, its switch.
void AudioRoutingViewModel::applyAbsentDeviceRecord(const std::string& uid) {
    const auto found = std::find_if(absentDeviceRecords_.begin(), absentDeviceRecords_.end(),
                                    [&](const PersistedDevice& r) { return r.uid == uid; });
    if (found == absentDeviceRecords_.end())
        return;
    const PersistedDevice record = *found;
    absentDeviceRecords_.erase(found);
    std::vector<AudioDevice> devices = allDevices_;
    const auto at = std::find_if(devices.begin(), devices.end(),
                                 [&](const AudioDevice& d) { return d.uid == uid; });
    AudioDevice device = *at;
    devices.erase(at);
    log("handleDeviceListChanged: applying saved settings of " + device.name + " (" + uid + ")");
    device.customName = trimmedCustomName(record.customName, device.name);
    device.masterVolume = limitVolume(record.masterVolume);
    const auto position = static_cast<size_t>(
        std::clamp<int64_t>(record.sortOrder, 0, static_cast<int64_t>(devices.size())));
    devices.insert(devices.begin() + static_cast<std::ptrdiff_t>(position), std::move(device));
    for (size_t i = 0; i < devices.size(); ++i)
        devices[i].sortOrder = static_cast<int64_t>(i);
    setAllDevices(std::move(devices));
    normalizeDeviceOrdering(std::nullopt);
    if (!record.enabled || refuseEnabling("handleDeviceListChanged", uid))
        return;
    willChange();
    findDevice(uid)->enabled = true;
    repointApps([](const RoutedApp& app) { return app.deviceUid.empty(); }, uid);
    syncForwarder();
    saveConfig();
}

void AudioRoutingViewModel::readInputPairCount() {
    const std::optional<AudioObjectID> device = audio::findDeviceByUID(virtualDeviceUID_);
    const std::optional<uint32_t> channels =
        device ? audio::channelCount(*device, kAudioObjectPropertyScopeInput) : std::nullopt;
    if (channels && *channels >= 2)
        inputPairCount_ = *channels / 2;
}

bool AudioRoutingViewModel::canEnableOutputDevice(const std::string& uid) const {
    const auto found = std::find_if(allDevices_.begin(), allDevices_.end(),
                                    [&](const AudioDevice& d) { return d.uid == uid; });
    if (found == allDevices_.end() || found->enabled || !inputPairCount_)
        return true;
    return static_cast<size_t>(std::count_if(allDevices_.begin(), allDevices_.end(),
                                             [](const AudioDevice& d) { return d.enabled; })) <
           *inputPairCount_;
}

// A device past the last input pair would be forwarded nothing: its applications fall silent.
bool AudioRoutingViewModel::refuseEnabling(const std::string& operation, const std::string& uid) {
    readInputPairCount();
    if (canEnableOutputDevice(uid))
        return false;
    log(operation + ": ERROR cannot enable " + findDevice(uid)->name + " (" + uid + "): all " +
        std::to_string(*inputPairCount_) + " input pairs in use");
    return true;
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

} // namespace sonarill::routing
