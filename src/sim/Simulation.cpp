#include "sim/Simulation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <pwd.h>
#include <unistd.h>

namespace sonarill::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr UInt32 kMinBufferFrameSize = 15;
constexpr UInt32 kMaxBufferFrameSize = 4096;
constexpr AudioObjectPropertySelector kRouteConfigSelector = detail::fourCharCode("snrc");
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

bool isScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeInput ||
           scope == kAudioObjectPropertyScopeOutput;
}

bool matches(const AudioObjectPropertyAddress& wanted, AudioObjectPropertySelector selector) {
    // Changes are announced on the global scope and main element.
    return (wanted.mSelector == selector ||
            wanted.mSelector == kAudioObjectPropertySelectorWildcard) &&
           (wanted.mScope == kAudioObjectPropertyScopeGlobal ||
            wanted.mScope == kAudioObjectPropertyScopeWildcard) &&
           (wanted.mElement == kAudioObjectPropertyElementMain ||
            wanted.mElement == kAudioObjectPropertyElementWildcard);
}

bool isWildcard(const AudioObjectPropertyAddress& address) {
    return address.mSelector == kAudioObjectPropertySelectorWildcard ||
           address.mScope == kAudioObjectPropertyScopeWildcard ||
           address.mElement == kAudioObjectPropertyElementWildcard;
}

bool sameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

OSStatus copyScalar(UInt32 value, UInt32& dataSize, void* data) {
    if (dataSize < sizeof(value))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, &value, sizeof(value));
    dataSize = sizeof(value);
    return noErr;
}

// Arrays are filled as far as the caller's buffer goes, as the HAL does.
OSStatus copyIDs(const std::vector<AudioObjectID>& ids, UInt32& dataSize, void* data) {
    const size_t count = std::min<size_t>(ids.size(), dataSize / sizeof(AudioObjectID));
    if (count > 0)
        std::memcpy(data, ids.data(), count * sizeof(AudioObjectID));
    dataSize = static_cast<UInt32>(count * sizeof(AudioObjectID));
    return noErr;
}

OSStatus copyString(const std::string& text, UInt32& dataSize, void* data) {
    if (dataSize < sizeof(CFStringRef))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    if (string == nullptr)
        return kAudioHardwareUnspecifiedError;
    std::memcpy(data, &string, sizeof(string));
    dataSize = sizeof(string);
    return noErr;
}

std::optional<std::string> stringText(CFStringRef string) {
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(capacity), '\0');
    if (!CFStringGetCString(string, buffer.data(), capacity, kCFStringEncodingUTF8))
        return std::nullopt;
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
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
        std::string entry = fs::relative(it->path(), folder, statusError).string();
        entry += '|' + std::to_string(static_cast<int>(status.type()));
        if (status.type() == fs::file_type::regular) {
            entry += '|' + std::to_string(it->file_size(statusError));
            entry +=
                '|' + std::to_string(it->last_write_time(statusError).time_since_epoch().count());
        }
        entries.push_back(std::move(entry));
    }
    if (error && error != std::errc::no_such_file_or_directory)
        entries.push_back("?" + error.message()); // half-copied: look again next time
    std::sort(entries.begin(), entries.end());
    std::string fingerprint;
    for (const auto& entry : entries)
        fingerprint += entry + '\n';
    return fingerprint;
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

Simulation& Simulation::instance() {
    static Simulation simulation;
    return simulation;
}

Simulation::Simulation() {
    notifier_ = std::thread([this] { deliverNotifications(); });
    poller_ = std::thread([this] { pollTimeline(); });
}

Simulation::~Simulation() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    notifier_.join();
    poller_.join();
}

void Simulation::ensureStarted() {
    if (started_.load(std::memory_order_acquire))
        return;
    std::call_once(processStart_, [this] {
        if (!started_.load(std::memory_order_acquire))
            reset(processWorld(), TimelineClock::realTime);
    });
}

// MARK: HAL calls

std::optional<OSStatus> Simulation::enterCall(HalCall call, AudioObjectID object,
                                              const AudioObjectPropertyAddress& address) {
    ensureStarted();
    std::function<void(const CallInfo&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = hook_;
    }
    if (hook)
        hook(CallInfo{call, object, address});

    Lock lock(mutex_);
    const uint64_t generation = generation_;
    const auto released = [&] { return generation_ != generation || stopping_; };
    while (Clock::now() < hangUntil_ && !released())
        wake_.wait_until(lock, hangUntil_);
    const auto fault = matchingFault(call, object, address.mSelector);
    if (!fault)
        return std::nullopt;
    if (fault->block.count() > 0)
        wake_.wait_for(lock, fault->block, released);
    return fault->status;
}

std::optional<Fault> Simulation::matchingFault(HalCall call, AudioObjectID object,
                                               AudioObjectPropertySelector selector) const {
    for (const Fault& fault : faults_) {
        if (fault.call != call || (fault.selector && *fault.selector != selector))
            continue;
        if (fault.uid) {
            const DeviceState* device = findDevice(object);
            if (device == nullptr || device->device.uid != *fault.uid)
                continue;
        }
        return fault;
    }
    return std::nullopt;
}

Boolean Simulation::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    if (enterCall(HalCall::hasProperty, object, address))
        return false;
    std::lock_guard lock(mutex_);
    return lookUp(object, address).has_value();
}

OSStatus Simulation::isPropertySettable(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        Boolean& isSettable) {
    if (const auto status = enterCall(HalCall::isPropertySettable, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    if (!objectExists(object))
        return kAudioHardwareBadObjectError;
    const auto property = lookUp(object, address);
    if (!property)
        return kAudioHardwareUnknownPropertyError;
    isSettable = *property == Property::defaultOutput ||
                 *property == Property::defaultSystemOutput ||
                 *property == Property::bufferFrameSize || *property == Property::routeConfig;
    return noErr;
}

OSStatus Simulation::getPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         UInt32& dataSize) {
    if (const auto status = enterCall(HalCall::getPropertyDataSize, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    if (!objectExists(object))
        return kAudioHardwareBadObjectError;
    const auto property = lookUp(object, address);
    if (!property)
        return kAudioHardwareUnknownPropertyError;
    dataSize = dataSizeOf(findDevice(object), *property, address.mScope);
    return noErr;
}

OSStatus Simulation::getPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address, UInt32& dataSize,
                                     void* data) {
    if (const auto status = enterCall(HalCall::getPropertyData, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    if (!objectExists(object))
        return kAudioHardwareBadObjectError;
    const auto property = lookUp(object, address);
    if (!property)
        return kAudioHardwareUnknownPropertyError;
    const DeviceState* device = findDevice(object);
    switch (*property) {
    case Property::deviceList: {
        std::vector<AudioObjectID> ids;
        for (const auto& each : devices_)
            ids.push_back(each.device.id);
        return copyIDs(ids, dataSize, data);
    }
    case Property::defaultOutput:
        return copyScalar(defaultOutput_, dataSize, data);
    case Property::defaultSystemOutput:
        return copyScalar(defaultSystemOutput_, dataSize, data);
    case Property::uid:
        return copyString(device->device.uid, dataSize, data);
    case Property::name:
        return copyString(device->device.name, dataSize, data);
    case Property::streams:
        return copyIDs(streamIDs(*device, address.mScope), dataSize, data);
    case Property::transport:
        return copyScalar(device->device.transport, dataSize, data);
    case Property::bufferFrameSize:
        return copyScalar(device->device.bufferFrameSize, dataSize, data);
    case Property::routeConfig:
        return copyString(routeConfigText_.value_or(""), dataSize, data);
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus Simulation::setPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address, UInt32 dataSize,
                                     const void* data) {
    if (const auto status = enterCall(HalCall::setPropertyData, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    if (!objectExists(object))
        return kAudioHardwareBadObjectError;
    const auto property = lookUp(object, address);
    if (!property)
        return kAudioHardwareUnknownPropertyError;
    DeviceState* device = findDevice(object);
    UInt32 value = 0;
    switch (*property) {
    case Property::defaultOutput:
    case Property::defaultSystemOutput:
    case Property::bufferFrameSize:
        if (dataSize != sizeof(value))
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&value, data, sizeof(value));
        break;
    case Property::routeConfig:
        if (dataSize != sizeof(CFStringRef))
            return kAudioHardwareBadPropertySizeError;
        break;
    default:
        return kAudioHardwareIllegalOperationError; // read-only
    }
    switch (*property) {
    case Property::defaultOutput:
        return setDefaultDevice(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice, value);
    case Property::defaultSystemOutput:
        return setDefaultDevice(defaultSystemOutput_,
                                kAudioHardwarePropertyDefaultSystemOutputDevice, value);
    case Property::bufferFrameSize:
        if (value < kMinBufferFrameSize || value > kMaxBufferFrameSize)
            return kAudioHardwareIllegalOperationError;
        if (device->device.bufferFrameSize != value) {
            device->device.bufferFrameSize = value;
            notify(object, kAudioDevicePropertyBufferFrameSize);
        }
        return noErr;
    case Property::routeConfig: {
        CFStringRef string = nullptr;
        std::memcpy(&string, data, sizeof(string));
        if (string == nullptr)
            return kAudio_ParamError;
        auto text = stringText(string);
        if (!text)
            return kAudio_ParamError;
        routeConfigText_ = std::move(*text);
        notify(object, kRouteConfigSelector);
        return noErr;
    }
    default:
        return kAudioHardwareIllegalOperationError;
    }
}

OSStatus Simulation::addListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc proc, void* clientData) {
    if (const auto status = enterCall(HalCall::addPropertyListener, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    if (!objectExists(object))
        return kAudioHardwareBadObjectError;
    if (!isWildcard(address) && !lookUp(object, address))
        return kAudioHardwareUnknownPropertyError;
    listeners_.push_back({nextListenerID_++, object, address, proc, clientData});
    return noErr;
}

OSStatus Simulation::removeListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc proc, void* clientData) {
    if (const auto status = enterCall(HalCall::removePropertyListener, object, address))
        return *status;
    Lock lock(mutex_);
    const auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) {
        return l.object == object && sameAddress(l.address, address) && l.proc == proc &&
               l.clientData == clientData;
    });
    if (found == listeners_.end())
        return objectExists(object) ? kAudioHardwareIllegalOperationError
                                    : kAudioHardwareBadObjectError;
    const uint64_t id = found->id;
    listeners_.erase(found);
    // The caller may free the client data next: let a call of this listener finish first.
    waitForListenerCall(lock, id);
    return noErr;
}

// MARK: Objects and properties

Simulation::DeviceState* Simulation::findDevice(AudioObjectID id) {
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const DeviceState& d) { return d.device.id == id; });
    return found == devices_.end() ? nullptr : &*found;
}

const Simulation::DeviceState* Simulation::findDevice(AudioObjectID id) const {
    return const_cast<Simulation*>(this)->findDevice(id);
}

bool Simulation::objectExists(AudioObjectID id) const {
    return id == kAudioObjectSystemObject || findDevice(id) != nullptr;
}

bool Simulation::idInUse(AudioObjectID id) const {
    if (id == kAudioObjectUnknown || id == kAudioObjectSystemObject)
        return true;
    return std::any_of(devices_.begin(), devices_.end(), [&](const DeviceState& d) {
        return d.device.id == id || d.inputStream == id || d.outputStream == id;
    });
}

AudioObjectID Simulation::allocateID() {
    while (idInUse(nextObjectID_))
        ++nextObjectID_;
    return nextObjectID_++;
}

std::optional<Simulation::Property>
Simulation::lookUp(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    if (address.mElement != kAudioObjectPropertyElementMain)
        return std::nullopt;
    if (object == kAudioObjectSystemObject) {
        if (address.mScope != kAudioObjectPropertyScopeGlobal)
            return std::nullopt;
        if (address.mSelector == kAudioHardwarePropertyDevices)
            return Property::deviceList;
        if (address.mSelector == kAudioHardwarePropertyDefaultOutputDevice)
            return Property::defaultOutput;
        if (address.mSelector == kAudioHardwarePropertyDefaultSystemOutputDevice)
            return Property::defaultSystemOutput;
        return std::nullopt;
    }
    const DeviceState* device = findDevice(object);
    if (device == nullptr || !isScope(address.mScope))
        return std::nullopt;
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
        return Property::uid;
    case kAudioObjectPropertyName:
        return Property::name;
    case kAudioDevicePropertyStreams:
        return Property::streams;
    case kAudioDevicePropertyTransportType:
        return Property::transport;
    case kAudioDevicePropertyBufferFrameSize:
        return Property::bufferFrameSize;
    case kRouteConfigSelector:
        // The driver publishes it on the global scope only, and only when its bundle says so.
        if (device->hasRouteConfig && address.mScope == kAudioObjectPropertyScopeGlobal)
            return Property::routeConfig;
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::vector<AudioObjectID> Simulation::streamIDs(const DeviceState& device,
                                                 AudioObjectPropertyScope scope) const {
    std::vector<AudioObjectID> ids;
    const bool global = scope == kAudioObjectPropertyScopeGlobal;
    if ((global || scope == kAudioObjectPropertyScopeInput) && device.inputStream)
        ids.push_back(device.inputStream);
    if ((global || scope == kAudioObjectPropertyScopeOutput) && device.outputStream)
        ids.push_back(device.outputStream);
    return ids;
}

UInt32 Simulation::dataSizeOf(const DeviceState* device, Property property,
                              AudioObjectPropertyScope scope) const {
    switch (property) {
    case Property::deviceList:
        return static_cast<UInt32>(devices_.size() * sizeof(AudioObjectID));
    case Property::streams:
        return static_cast<UInt32>(streamIDs(*device, scope).size() * sizeof(AudioObjectID));
    case Property::uid:
    case Property::name:
    case Property::routeConfig:
        return sizeof(CFStringRef);
    default:
        return sizeof(UInt32);
    }
}

OSStatus Simulation::setDefaultDevice(AudioObjectID& slot, AudioObjectPropertySelector selector,
                                      AudioObjectID device) {
    const DeviceState* target = findDevice(device);
    if (target == nullptr)
        return kAudioHardwareBadDeviceError;
    if (target->outputStream == kAudioObjectUnknown)
        return kAudioHardwareIllegalOperationError; // cannot play sound
    if (slot != device) {
        slot = device;
        notify(kAudioObjectSystemObject, selector);
    }
    return noErr;
}

AudioObjectID Simulation::firstOutputDevice() const {
    for (const auto& device : devices_) {
        if (device.outputStream != kAudioObjectUnknown)
            return device.device.id;
    }
    return kAudioObjectUnknown;
}

AudioObjectID Simulation::addDeviceLocked(Device device, bool isVirtual, bool hasRouteConfig) {
    if (idInUse(device.id))
        device.id = allocateID();
    DeviceState state{std::move(device), kAudioObjectUnknown, kAudioObjectUnknown, isVirtual,
                      hasRouteConfig};
    devices_.push_back(state); // the ID must be in use before streams get theirs
    auto& added = devices_.back();
    if (added.device.inputChannels > 0)
        added.inputStream = allocateID();
    if (added.device.outputChannels > 0)
        added.outputStream = allocateID();
    const AudioObjectID id = added.device.id;
    const bool hasOutput = added.outputStream != kAudioObjectUnknown;
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    // Like macOS, a first output device becomes the default.
    if (hasOutput && defaultOutput_ == kAudioObjectUnknown)
        setDefaultDevice(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice, id);
    if (hasOutput && defaultSystemOutput_ == kAudioObjectUnknown)
        setDefaultDevice(defaultSystemOutput_, kAudioHardwarePropertyDefaultSystemOutputDevice, id);
    return id;
}

void Simulation::removeDeviceAt(size_t index) {
    const AudioObjectID id = devices_[index].device.id;
    if (devices_[index].isVirtual)
        routeConfigText_.reset(); // a restarted driver starts without configuration
    devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(index));
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    // Like macOS, the default moves to a remaining output when its device goes away.
    if (defaultOutput_ == id) {
        defaultOutput_ = firstOutputDevice();
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    }
    if (defaultSystemOutput_ == id) {
        defaultSystemOutput_ = firstOutputDevice();
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultSystemOutputDevice);
    }
}

// MARK: Listeners

void Simulation::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    queue_.push_back({object, selector});
    wake_.notify_all();
}

void Simulation::waitForListenerCall(Lock& lock, uint64_t listenerID) {
    if (std::this_thread::get_id() == notifierThread_)
        return; // removed from inside a listener: waiting would never end
    wake_.wait(lock, [&] { return listenerInCall_ != listenerID || stopping_; });
}

void Simulation::deliverNotifications() {
    Lock lock(mutex_);
    notifierThread_ = std::this_thread::get_id();
    while (true) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        const Notification notification = queue_.front();
        queue_.pop_front();
        delivering_ = true;
        std::vector<uint64_t> due;
        for (const auto& listener : listeners_) {
            if (listener.object == notification.object &&
                matches(listener.address, notification.selector))
                due.push_back(listener.id);
        }
        for (const uint64_t id : due) {
            const auto found = std::find_if(listeners_.begin(), listeners_.end(),
                                            [&](const Listener& l) { return l.id == id; });
            if (found == listeners_.end())
                continue; // removed by an earlier listener of this change
            const Listener listener = *found;
            listenerInCall_ = id;
            lock.unlock();
            const AudioObjectPropertyAddress changed{notification.selector,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            listener.proc(notification.object, 1, &changed, listener.clientData);
            lock.lock();
            listenerInCall_ = 0;
            wake_.notify_all();
        }
        delivering_ = false;
        wake_.notify_all();
    }
}

void Simulation::waitForNotifications() {
    Lock lock(mutex_);
    if (std::this_thread::get_id() == notifierThread_)
        return;
    wake_.wait(lock, [&] { return (queue_.empty() && !delivering_) || stopping_; });
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
    listeners_.clear();
    queue_.clear();
    if (listenerInCall_ != 0)
        waitForListenerCall(lock, listenerInCall_);
    ++generation_;
    devices_.clear();
    defaultOutput_ = defaultSystemOutput_ = kAudioObjectUnknown;
    nextObjectID_ = 2;
    for (const auto& device : world.devices)
        nextObjectID_ = std::max(nextObjectID_, device.id + 1);
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
    hook_ = nullptr;
    routeConfigText_.reset();
    hangUntil_ = {};
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
    ensureStarted();
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].device.id == id && !devices_[i].isVirtual) {
            removeDeviceAt(i);
            return true;
        }
    }
    return false;
}

bool Simulation::removeDeviceByUID(std::string_view uid) {
    ensureStarted();
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].device.uid == uid && !devices_[i].isVirtual) {
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
