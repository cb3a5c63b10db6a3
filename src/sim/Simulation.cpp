#include "sim/Simulation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace sonarill::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr AudioObjectPropertySelector kRouteConfigSelector = detail::fourCharCode("snrc");

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

} // namespace

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
    Property property{};
    if (const OSStatus status = resolve(object, address, property); status != noErr)
        return status;
    isSettable = property == Property::defaultOutput || property == Property::defaultSystemOutput ||
                 property == Property::bufferFrameSize || property == Property::routeConfig;
    return noErr;
}

OSStatus Simulation::getPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         UInt32& dataSize) {
    if (const auto status = enterCall(HalCall::getPropertyDataSize, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    Property property{};
    if (const OSStatus status = resolve(object, address, property); status != noErr)
        return status;
    dataSize = dataSizeOf(findDevice(object), property, address.mScope);
    return noErr;
}

OSStatus Simulation::getPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address, UInt32& dataSize,
                                     void* data) {
    if (const auto status = enterCall(HalCall::getPropertyData, object, address))
        return *status;
    std::lock_guard lock(mutex_);
    Property property{};
    if (const OSStatus status = resolve(object, address, property); status != noErr)
        return status;
    const DeviceState* device = findDevice(object);
    switch (property) {
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
    Property property{};
    if (const OSStatus status = resolve(object, address, property); status != noErr)
        return status;
    DeviceState* device = findDevice(object);
    UInt32 value = 0;
    switch (property) {
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
    switch (property) {
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

OSStatus Simulation::resolve(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             Property& property) const {
    if (!objectExists(object))
        return kAudioHardwareBadObjectError;
    const auto found = lookUp(object, address);
    if (!found)
        return kAudioHardwareUnknownPropertyError;
    property = *found;
    return noErr;
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

std::optional<AudioObjectID> Simulation::addDeviceLocked(Device device, bool isVirtual,
                                                         bool hasRouteConfig) {
    std::optional<AudioObjectID> id = device.id;
    if (idInUse(device.id))
        id = objectIDs_.next();
    else
        objectIDs_.name(device.id); // never to be handed out to another device
    const auto streamID = [&](UInt32 channels) {
        return channels > 0 ? objectIDs_.next() : std::optional<AudioObjectID>(kAudioObjectUnknown);
    };
    const auto input = streamID(device.inputChannels);
    const auto output = streamID(device.outputChannels);
    if (!id || !input || !output)
        return std::nullopt;
    device.id = *id;
    devices_.push_back({std::move(device), *input, *output, isVirtual, hasRouteConfig});
    const bool hasOutput = *output != kAudioObjectUnknown;
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    // Like macOS, a first output device becomes the default.
    if (hasOutput && defaultOutput_ == kAudioObjectUnknown)
        setDefaultDevice(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice, *id);
    if (hasOutput && defaultSystemOutput_ == kAudioObjectUnknown)
        setDefaultDevice(defaultSystemOutput_, kAudioHardwarePropertyDefaultSystemOutputDevice,
                         *id);
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

} // namespace sonarill::sim
