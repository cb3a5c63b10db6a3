// The simulation's world side: the timeline, the plug-in folder and its simulated audio
// server, and the control operations.

#include "sim/Simulation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>
#include <sstream>

#include <pwd.h>
#include <unistd.h>

namespace sonarill::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(50);

constexpr double kLoadedAtStart = -std::numeric_limits<double>::infinity();

// Sixteen input channels carry eight buses, more than a desk has outputs.
Device virtualDevice() {
    return {kAudioObjectUnknown,
            std::string(kVirtualDeviceUID),
            "Sonarill",
            kAudioDeviceTransportTypeVirtual,
            16,
            2,
            512,
            0.0};
}

// Names, kinds, sizes and times of everything in the folder: any install, removal or rewrite
// changes it.
std::string folderFingerprint(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> entries;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code statusError;
        const auto status = it->symlink_status(statusError);
        std::ostringstream entry;
        entry << fs::relative(it->path(), folder, statusError).string() << '|'
              << static_cast<int>(status.type());
        if (status.type() == fs::file_type::regular) {
            entry << '|' << it->file_size(statusError) << '|'
                  << std::chrono::duration_cast<std::chrono::nanoseconds>(
                         it->last_write_time(statusError).time_since_epoch())
                         .count(); // 64 bits on every library; some count file time in 128
        }
        entries.push_back(entry.str());
    }
    if (error && error != std::errc::no_such_file_or_directory)
        entries.push_back(std::string("?").append(error.message())); // look again next time
    std::sort(entries.begin(), entries.end());
    std::ostringstream fingerprint;
    for (const auto& entry : entries)
        fingerprint << entry << '\n';
    return fingerprint.str();
}

// Puts the plug-in folder in the state the world asks for. Returns false, after saying why on
// standard error, when it cannot.
bool preparePluginFolder(const std::filesystem::path& folder, const PluginSettings& plugin) {
    if (!plugin.installed || folder.empty())
        return true;
    const auto bundlePath = folder / kDriverBundleName;
    if (!*plugin.installed) {
        std::error_code error;
        std::filesystem::remove_all(bundlePath, error);
        if (!error)
            return true;
        std::fprintf(stderr, "sonarill-sim: cannot remove %s: %s\n", bundlePath.c_str(),
                     error.message().c_str());
        return false;
    }
    DriverBundle bundle = carriedDriverBundle();
    bundle.supportsRouteConfig = plugin.routeConfig;
    const auto problem = writeDriverBundle(bundlePath, bundle);
    if (!problem)
        return true;
    std::fprintf(stderr, "sonarill-sim: cannot install the driver: %s\n", problem->c_str());
    return false;
}
} // namespace

std::filesystem::path halPluginFolder() {
    const std::filesystem::path suffix = std::filesystem::path("sonarill-sim") / "HAL";
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && std::filesystem::path(dataHome).is_absolute())
        return dataHome / suffix;
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || *home == '\0')
        return {};
    return std::filesystem::path(home) / ".local" / "share" / suffix;
}
// MARK: Timeline and plug-in folder

double Simulation::now() const {
    if (clock_ == TimelineClock::manual)
        return manualNow_;
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Simulation::applyEvent(const Event& event) {
    switch (event.kind) {
    case EventKind::unplug:
        for (size_t i = 0; i < devices_.size(); ++i) {
            if (!devices_[i].isVirtual && devices_[i].device.uid == event.text) {
                removeDeviceAt(i);
                break;
            }
        }
        return;
    case EventKind::plug:
        addDeviceLocked(event.device, false, false);
        return;
    case EventKind::launch:
        if (std::none_of(apps_.begin(), apps_.end(),
                         [&](const App& app) { return app.bundleId == event.app.bundleId; }))
            apps_.push_back(event.app);
        return;
    case EventKind::quit: {
        const auto found = std::find_if(apps_.begin(), apps_.end(),
                                        [&](const App& app) { return app.bundleId == event.text; });
        if (found != apps_.end())
            apps_.erase(found);
        return;
    }
    case EventKind::setDefaultOutput:
        for (const auto& device : devices_) {
            if (device.device.uid == event.text &&
                setDefaultDevice(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice,
                                 device.device.id) == noErr)
                return;
        }
        return;
    case EventKind::hang:
        hangUntil_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(event.seconds));
        return;
    }
}

void Simulation::applyDueEvents(double time) {
    while (nextEvent_ < events_.size() && events_[nextEvent_].at <= time)
        applyEvent(events_[nextEvent_++]);
}

void Simulation::updateVirtualDevice(double time) {
    const bool loaded = plugin_.bundle && time >= plugin_.changedAt + plugin_.loadDelay;
    const auto present = std::find_if(devices_.begin(), devices_.end(),
                                      [](const DeviceState& d) { return d.isVirtual; });
    if (loaded && present == devices_.end())
        addDeviceLocked(virtualDevice(), true, plugin_.bundle->supportsRouteConfig);
    else if (!loaded && present != devices_.end())
        removeDeviceAt(static_cast<size_t>(present - devices_.begin()));
}

double Simulation::nextPluginLoadTime() const {
    const bool present = std::any_of(devices_.begin(), devices_.end(),
                                     [](const DeviceState& d) { return d.isVirtual; });
    if (!plugin_.bundle || present)
        return std::numeric_limits<double>::infinity();
    return plugin_.changedAt + plugin_.loadDelay;
}

void Simulation::scanPluginFolder() {
    std::filesystem::path folder;
    std::string known;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        folder = plugin_.path;
        known = plugin_.fingerprint;
        generation = generation_;
    }
    if (folder.empty())
        return;
    // File system work happens unlocked so HAL calls never wait for it.
    std::string fingerprint = folderFingerprint(folder);
    if (fingerprint == known)
        return;
    auto bundle = readDriverBundle(folder / kDriverBundleName);
    std::lock_guard lock(mutex_);
    if (generation != generation_ || plugin_.fingerprint != known)
        return; // reset or scanned by someone else meanwhile
    plugin_.fingerprint = std::move(fingerprint);
    plugin_.bundle = std::move(bundle);
    plugin_.changedAt = now(); // the simulated audio server restarts
    updateVirtualDevice(now());
}

void Simulation::pollTimeline() {
    Lock lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kPollInterval, [&] { return stopping_; });
        if (stopping_ || !started_.load() || clock_ == TimelineClock::manual)
            continue;
        lock.unlock();
        scanPluginFolder();
        lock.lock();
        if (clock_ == TimelineClock::realTime) {
            applyDueEvents(now());
            updateVirtualDevice(now());
        }
    }
}

void Simulation::checkPluginFolder() {
    ensureStarted();
    scanPluginFolder();
}

void Simulation::advanceTimeline(double seconds) {
    ensureStarted();
    scanPluginFolder();
    std::lock_guard lock(mutex_);
    if (clock_ != TimelineClock::manual || !(seconds >= 0.0))
        return;
    const double target = manualNow_ + seconds;
    while (true) {
        const double nextEvent = nextEvent_ < events_.size()
                                     ? events_[nextEvent_].at
                                     : std::numeric_limits<double>::infinity();
        const double next = std::min(nextEvent, nextPluginLoadTime());
        if (next > target)
            break;
        manualNow_ = std::max(manualNow_, next);
        applyDueEvents(manualNow_);
        updateVirtualDevice(manualNow_);
    }
    manualNow_ = target;
    applyDueEvents(manualNow_);
    updateVirtualDevice(manualNow_);
}

double Simulation::timelineSeconds() {
    ensureStarted();
    std::lock_guard lock(mutex_);
    return now();
}

// MARK: Control

bool Simulation::reset(const World& world, TimelineClock clock) {
    const auto folder = halPluginFolder();
    const bool prepared = preparePluginFolder(folder, world.plugin);
    std::string fingerprint = folder.empty() ? std::string() : folderFingerprint(folder);
    auto bundle = folder.empty() ? std::nullopt : readDriverBundle(folder / kDriverBundleName);

    Lock lock(mutex_);
    // Release blocked calls and drop what could block new ones before waiting for a listener
    // call in progress: that listener may be making such a call.
    ++generation_;
    faults_.clear();
    hangUntil_ = {};
    hook_ = nullptr;
    listeners_.clear();
    queue_.clear();
    wake_.notify_all();
    if (listenerInCall_ != 0)
        waitForListenerCall(lock, listenerInCall_);
    devices_.clear();
    defaultOutput_ = defaultSystemOutput_ = kAudioObjectUnknown;
    // The IDs the world names are its devices' own, including those it plugs later.
    std::set<AudioObjectID> named;
    for (const auto& device : world.devices)
        named.insert(device.id);
    for (const auto& event : world.events) {
        if (event.kind == EventKind::plug)
            named.insert(event.device.id);
    }
    named.erase(kAudioObjectUnknown);
    objectIDs_.restart(std::move(named));
    for (const auto& device : world.devices)
        addDeviceLocked(device, false, false);
    // The first output device became the default while adding; the world may name another.
    const auto deviceWithUID = [&](const std::optional<std::string>& uid) {
        for (const auto& device : devices_) {
            if (uid && device.device.uid == *uid && device.outputStream != kAudioObjectUnknown)
                return device.device.id;
        }
        return firstOutputDevice();
    };
    defaultOutput_ = deviceWithUID(world.defaultOutput);
    defaultSystemOutput_ =
        deviceWithUID(world.defaultSystemOutput ? world.defaultSystemOutput : world.defaultOutput);
    apps_ = world.apps;
    recordDir_ = world.recordDir;
    faults_ = world.faults;
    routeConfigText_.reset();
    clock_ = clock;
    start_ = Clock::now();
    manualNow_ = 0.0;
    events_ = world.events;
    std::stable_sort(events_.begin(), events_.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
    nextEvent_ = 0;
    // A driver already in the folder was loaded when the audio server started.
    plugin_ = {folder, std::move(fingerprint), std::move(bundle), kLoadedAtStart,
               world.plugin.loadDelay};
    updateVirtualDevice(0.0);
    queue_.clear(); // nobody listens to a world that was just made
    started_.store(true, std::memory_order_release);
    wake_.notify_all();
    return prepared;
}

std::vector<Device> Simulation::devices() {
    ensureStarted();
    std::lock_guard lock(mutex_);
    std::vector<Device> list;
    for (const auto& device : devices_)
        list.push_back(device.device);
    return list;
}

std::optional<AudioObjectID> Simulation::addDevice(Device device) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    if (device.uid.empty())
        return std::nullopt;
    if (device.id != kAudioObjectUnknown && idInUse(device.id))
        return std::nullopt;
    return addDeviceLocked(std::move(device), false, false);
}

bool Simulation::removeDevice(AudioObjectID id) {
    return removeFirstPhysicalDevice([id](const Device& device) { return device.id == id; });
}

bool Simulation::removeDeviceByUID(std::string_view uid) {
    return removeFirstPhysicalDevice([uid](const Device& device) { return device.uid == uid; });
}

bool Simulation::removeFirstPhysicalDevice(const std::function<bool(const Device&)>& matches) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (!devices_[i].isVirtual && matches(devices_[i].device)) {
            removeDeviceAt(i);
            return true;
        }
    }
    return false;
}

std::optional<std::string> Simulation::defaultUID(AudioObjectPropertySelector which) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    const AudioObjectID id =
        which == kAudioHardwarePropertyDefaultOutputDevice ? defaultOutput_ : defaultSystemOutput_;
    const DeviceState* device = findDevice(id);
    if (device == nullptr)
        return std::nullopt;
    return device->device.uid;
}

bool Simulation::setDefault(AudioObjectPropertySelector which, std::string_view uid) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    AudioObjectID& slot =
        which == kAudioHardwarePropertyDefaultOutputDevice ? defaultOutput_ : defaultSystemOutput_;
    for (const auto& device : devices_) {
        if (device.device.uid == uid && setDefaultDevice(slot, which, device.device.id) == noErr)
            return true;
    }
    return false;
}

std::vector<App> Simulation::runningApps() {
    ensureStarted();
    std::lock_guard lock(mutex_);
    return apps_;
}

bool Simulation::launchApp(const App& app) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    if (app.bundleId.empty() || std::any_of(apps_.begin(), apps_.end(), [&](const App& running) {
            return running.bundleId == app.bundleId;
        }))
        return false;
    apps_.push_back(app);
    return true;
}

bool Simulation::quitApp(std::string_view bundleId) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(apps_.begin(), apps_.end(),
                                    [&](const App& app) { return app.bundleId == bundleId; });
    if (found == apps_.end())
        return false;
    apps_.erase(found);
    return true;
}

std::string Simulation::recordDir() {
    ensureStarted();
    std::lock_guard lock(mutex_);
    return recordDir_;
}

void Simulation::injectFault(const Fault& fault) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void Simulation::clearFaults() {
    ensureStarted();
    std::lock_guard lock(mutex_);
    faults_.clear();
    hangUntil_ = {};
    ++generation_;
    wake_.notify_all();
}

void Simulation::setCallHook(std::function<void(const CallInfo&)> hook) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::optional<std::string> Simulation::routeConfigText() {
    ensureStarted();
    std::lock_guard lock(mutex_);
    return routeConfigText_;
}

} // namespace sonarill::sim
