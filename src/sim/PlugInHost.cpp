#include "sim/PlugInHost.h"

#include "sim/Io.h"
#include "sim/State.h"

#include <nlohmann/json.hpp>

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace sonarill::sim {

namespace {

using json = nlohmann::json;
using Factory = void* (*)(CFAllocatorRef, CFUUIDRef);

// Set while this thread calls into the driver with the HAL lock held, so that what the driver
// announces from inside such a call is queued without taking the lock again.
thread_local bool tHalLockHeld = false;

class HalLockHeld {
public:
    HalLockHeld() : was_(tHalLockHeld) { tHalLockHeld = true; }
    ~HalLockHeld() { tHalLockHeld = was_; }
    HalLockHeld(const HalLockHeld&) = delete;
    HalLockHeld& operator=(const HalLockHeld&) = delete;

private:
    bool was_;
};

AudioObjectPropertyAddress
globalAddress(AudioObjectPropertySelector selector,
              AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::string utf8(CFStringRef text) {
    if (text == nullptr)
        return {};
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::string buffer(size_t(capacity), '\0');
    if (!CFStringGetCString(text, buffer.data(), capacity, kCFStringEncodingUTF8))
        return {};
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

// The storage file's texts by key; empty when it is missing or unreadable.
json readStorage(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return json::object();
    json stored = json::parse(std::istreambuf_iterator<char>(in), {}, nullptr, false);
    return stored.is_object() ? stored : json::object();
}

bool writeStorage(const std::filesystem::path& file, const json& stored) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    // Written beside and renamed, so a reader never sees half a file.
    const std::filesystem::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << stored.dump();
        if (!out.flush())
            return false;
    }
    std::filesystem::rename(partial, file, error);
    return !error;
}

// The libraries the driver brought in stay loaded when it goes, as system libraries stay in a
// Mac's audio server (dyld never unloads its shared cache): unloaded, they would lose what they
// keep for the whole process (ICU's caches, for one) at every restart of the server.
void keepLibrariesLoadedWith(void* module) {
    link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return;
    for (const link_map* next = map->l_next; next != nullptr; next = next->l_next) {
        const std::string_view name = next->l_name;
        if (name.empty() || name.find(kDriverBundleName) != std::string_view::npos)
            continue; // a plug-in, not a library
        if (void* library = dlopen(next->l_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE))
            dlclose(library);
    }
}

} // namespace

base::Expected<std::shared_ptr<PlugInHost>>
PlugInHost::load(const std::filesystem::path& bundlePath, const DriverBundle& bundle,
                 std::filesystem::path storageFile) {
    HalLockHeld held;
    std::shared_ptr<PlugInHost> host(new PlugInHost);
    host->storageFile_ = std::move(storageFile);
    if (auto started = host->start(bundlePath, bundle); !started)
        return base::Failure{started.error()};
    if (auto found = host->findDevice(); !found)
        return base::Failure{found.error()};
    return host;
}

base::Expected<void> PlugInHost::start(const std::filesystem::path& bundlePath,
                                       const DriverBundle& bundle) {
    if (bundle.factoryFunction.empty())
        return base::Failure{std::string("Info.plist names no factory of a HAL driver")};
    const std::filesystem::path executable = bundlePath / kDriverExecutablePath;
    module_ = dlopen(executable.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr)
        return base::Failure{std::string("cannot load ") + executable.string() + ": " + dlerror()};
    keepLibrariesLoadedWith(module_);
    const auto factory = reinterpret_cast<Factory>(dlsym(module_, bundle.factoryFunction.c_str()));
    if (factory == nullptr)
        return base::Failure{"the executable has no factory " + bundle.factoryFunction};
    auto unknown = static_cast<AudioServerPlugInDriverRef>(
        factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID));
    if (unknown == nullptr)
        return base::Failure{"the factory makes no driver"};
    void* driver = nullptr;
    const HRESULT found = (*unknown)->QueryInterface(
        unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    (*unknown)->Release(unknown);
    if (found != S_OK || driver == nullptr)
        return base::Failure{std::string("the driver has no driver interface")};
    driver_ = static_cast<AudioServerPlugInDriverRef>(driver);
    host_.owner = this;
    host_.table.PropertiesChanged = propertiesChanged;
    host_.table.CopyFromStorage = copyFromStorage;
    host_.table.WriteToStorage = writeToStorage;
    host_.table.DeleteFromStorage = deleteFromStorage;
    host_.table.RequestDeviceConfigurationChange = requestConfigurationChange;
    if (const OSStatus status = (*driver_)->Initialize(driver_, &host_.table); status != noErr)
        return base::Failure{"Initialize failed with " + std::to_string(status)};
    initialized_ = true;
    return {};
}

// The first device the plug-in lists, with what the HAL lists of it.
base::Expected<void> PlugInHost::findDevice() {
    const auto& d = **driver_;
    const auto idsAt = [&](AudioObjectID object, AudioObjectPropertyAddress address) {
        AudioObjectID ids[8] = {};
        UInt32 size = 0;
        if (d.GetPropertyData(driver_, object, 0, &address, 0, nullptr, sizeof ids, &size, ids) !=
                noErr ||
            size < sizeof(AudioObjectID))
            return AudioObjectID(kAudioObjectUnknown);
        return ids[0];
    };
    const auto textOf = [&](AudioObjectPropertySelector selector) {
        const AudioObjectPropertyAddress address = globalAddress(selector);
        CFStringRef text = nullptr;
        UInt32 size = 0;
        if (d.GetPropertyData(driver_, driverDevice_, 0, &address, 0, nullptr, sizeof text, &size,
                              &text) != noErr ||
            text == nullptr)
            return std::string();
        std::string result = utf8(text);
        CFRelease(text);
        return result;
    };
    const auto channelsOf = [&](AudioStreamID stream) {
        const AudioObjectPropertyAddress address = globalAddress(kAudioStreamPropertyVirtualFormat);
        AudioStreamBasicDescription format{};
        UInt32 size = 0;
        if (stream == kAudioObjectUnknown ||
            d.GetPropertyData(driver_, stream, 0, &address, 0, nullptr, sizeof format, &size,
                              &format) != noErr)
            return UInt32(0);
        return format.mChannelsPerFrame;
    };
    driverDevice_ = idsAt(kAudioObjectPlugInObject, globalAddress(kAudioPlugInPropertyDeviceList));
    if (driverDevice_ == kAudioObjectUnknown)
        return base::Failure{std::string("the driver has no device")};
    driverInput_ = idsAt(
        driverDevice_, globalAddress(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    driverOutput_ = idsAt(
        driverDevice_, globalAddress(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput));
    device_.uid = textOf(kAudioDevicePropertyDeviceUID);
    device_.name = textOf(kAudioObjectPropertyName);
    const AudioObjectPropertyAddress transport = globalAddress(kAudioDevicePropertyTransportType);
    UInt32 size = 0;
    (void)d.GetPropertyData(driver_, driverDevice_, 0, &transport, 0, nullptr,
                            sizeof device_.transport, &size, &device_.transport);
    device_.inputChannels = channelsOf(driverInput_);
    device_.outputChannels = channelsOf(driverOutput_);
    if (device_.uid.empty())
        return base::Failure{std::string("the driver's device has no UID")};
    return {};
}

PlugInHost::~PlugInHost() {
    HalLockHeld held;
    if (halDevice_ != kAudioObjectUnknown)
        io::virtualDriverChanged({});
    halDevice_ = halInput_ = halOutput_ = kAudioObjectUnknown; // listed no more
    if (initialized_)
        setClients({});
    if (driver_ != nullptr)
        (*driver_)->Release(driver_);
    if (module_ != nullptr)
        dlclose(module_);
}

void PlugInHost::attach(AudioObjectID device, AudioStreamID input, AudioStreamID output) {
    halDevice_ = device;
    halInput_ = input;
    halOutput_ = output;
    io::virtualDriverChanged(
        {driver_, driverDevice_, driverInput_, driverOutput_, device_.inputChannels});
}

void PlugInHost::setClients(const std::vector<App>& apps) {
    HalLockHeld held;
    const auto& d = **driver_;
    const auto clientInfo = [](UInt32 id, CFStringRef bundle) {
        // The simulation's applications have no processes of their own.
        return AudioServerPlugInClientInfo{id, pid_t(10000 + id), true, bundle};
    };
    std::map<std::string, UInt32, std::less<>> playing;
    std::vector<io::VirtualClient> tones;
    for (const App& app : apps) {
        UInt32 id = 0;
        if (const auto found = clients_.find(app.bundleId); found != clients_.end()) {
            id = found->second;
            clients_.erase(found);
        } else {
            id = nextClientID_++;
            CFStringRef bundle = CFStringCreateWithCString(
                kCFAllocatorDefault, app.bundleId.c_str(), kCFStringEncodingUTF8);
            const AudioServerPlugInClientInfo info = clientInfo(id, bundle);
            (void)d.AddDeviceClient(driver_, driverDevice_, &info);
            (void)d.StartIO(driver_, driverDevice_, id);
            if (bundle != nullptr)
                CFRelease(bundle);
        }
        playing.emplace(app.bundleId, id);
        tones.push_back({id, {app.toneHz, app.level}});
    }
    // The cycles stop asking for a client's output before the driver forgets it.
    io::virtualClientsChanged(std::move(tones));
    for (const auto& [bundleId, id] : clients_) {
        const AudioServerPlugInClientInfo info = clientInfo(id, nullptr);
        (void)d.StopIO(driver_, driverDevice_, id);
        (void)d.RemoveDeviceClient(driver_, driverDevice_, &info);
    }
    clients_ = std::move(playing);
}

AudioObjectID PlugInHost::halObjectOf(AudioObjectID driverObject) const {
    if (driverObject == kAudioObjectUnknown)
        return kAudioObjectUnknown;
    return driverObject == driverDevice_   ? halDevice_
           : driverObject == driverInput_  ? halInput_
           : driverObject == driverOutput_ ? halOutput_
                                           : AudioObjectID(kAudioObjectUnknown);
}

AudioObjectID PlugInHost::driverObjectOf(AudioObjectID halObject) const {
    return halObject == halDevice_ ? driverDevice_ : AudioObjectID(kAudioObjectUnknown);
}

// The answers that name objects name the HAL's, not the driver's.
void PlugInHost::translateIDs(AudioObjectPropertySelector selector, UInt32 size, void* data) const {
    if (selector != kAudioDevicePropertyStreams && selector != kAudioObjectPropertyOwnedObjects &&
        selector != kAudioObjectPropertyOwner)
        return;
    auto* bytes = static_cast<unsigned char*>(data);
    for (UInt32 offset = 0; offset + sizeof(AudioObjectID) <= size;
         offset += sizeof(AudioObjectID)) {
        AudioObjectID id = kAudioObjectUnknown;
        std::memcpy(&id, bytes + offset, sizeof id);
        id = halObjectOf(id);
        std::memcpy(bytes + offset, &id, sizeof id);
    }
}

bool PlugInHost::hasProperty(const AudioObjectPropertyAddress& address) const {
    HalLockHeld held;
    return (*driver_)->HasProperty(driver_, driverDevice_, 0, &address) != 0;
}

OSStatus PlugInHost::isPropertySettable(const AudioObjectPropertyAddress& address,
                                        Boolean& settable) const {
    HalLockHeld held;
    return (*driver_)->IsPropertySettable(driver_, driverDevice_, 0, &address, &settable);
}

OSStatus PlugInHost::propertyDataSize(const AudioObjectPropertyAddress& address,
                                      UInt32 qualifierSize, const void* qualifier,
                                      UInt32& size) const {
    HalLockHeld held;
    return (*driver_)->GetPropertyDataSize(driver_, driverDevice_, 0, &address, qualifierSize,
                                           qualifier, &size);
}

OSStatus PlugInHost::propertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                  const void* qualifier, UInt32& size, void* data) const {
    HalLockHeld held;
    UInt32 written = 0;
    const OSStatus status = (*driver_)->GetPropertyData(
        driver_, driverDevice_, 0, &address, qualifierSize, qualifier, size, &written, data);
    if (status != noErr)
        return status;
    size = written;
    translateIDs(address.mSelector, size, data);
    return noErr;
}

OSStatus PlugInHost::setPropertyData(const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                     const void* data) const {
    HalLockHeld held;
    return (*driver_)->SetPropertyData(driver_, driverDevice_, 0, &address, qualifierSize,
                                       qualifier, size, data);
}

std::string PlugInHost::routeText() const {
    const AudioObjectPropertyAddress address = globalAddress(kRouteConfigSelector);
    CFStringRef text = nullptr;
    UInt32 size = sizeof text;
    if (propertyData(address, 0, nullptr, size, &text) != noErr || text == nullptr)
        return {};
    std::string result = utf8(text);
    CFRelease(text);
    return result;
}

// MARK: The host interface

OSStatus PlugInHost::propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID object,
                                       UInt32 count, const AudioObjectPropertyAddress* addresses) {
    PlugInHost* self = reinterpret_cast<const HostInterface*>(host)->owner;
    if (addresses == nullptr && count > 0)
        return kAudioHardwareIllegalOperationError;
    State& s = stateUnstarted();
    Lock lock(s.mutex, std::defer_lock);
    if (!tHalLockHeld)
        lock.lock();
    const AudioObjectID halObject = self->halObjectOf(object);
    for (UInt32 i = 0; i < count && halObject != kAudioObjectUnknown; ++i)
        notify(s, halObject, addresses[i].mSelector);
    return noErr;
}

OSStatus PlugInHost::copyFromStorage(AudioServerPlugInHostRef host, CFStringRef key,
                                     CFPropertyListRef* data) {
    PlugInHost* self = reinterpret_cast<const HostInterface*>(host)->owner;
    if (key == nullptr || data == nullptr)
        return kAudioHardwareIllegalOperationError;
    *data = nullptr;
    if (self->storageFile_.empty())
        return kAudioHardwareUnspecifiedError;
    std::lock_guard lock(self->storageMutex_);
    const json stored = readStorage(self->storageFile_);
    const auto found = stored.find(utf8(key));
    if (found == stored.end() || !found->is_string())
        return noErr; // nothing kept under that key
    *data = CFStringCreateWithCString(kCFAllocatorDefault, found->get<std::string>().c_str(),
                                      kCFStringEncodingUTF8);
    return noErr;
}

// The simulated storage keeps texts, all this system's driver stores.
OSStatus PlugInHost::writeToStorage(AudioServerPlugInHostRef host, CFStringRef key,
                                    CFPropertyListRef data) {
    PlugInHost* self = reinterpret_cast<const HostInterface*>(host)->owner;
    if (key == nullptr || data == nullptr || CFGetTypeID(data) != CFStringGetTypeID())
        return kAudioHardwareIllegalOperationError;
    if (self->storageFile_.empty())
        return kAudioHardwareUnspecifiedError;
    std::lock_guard lock(self->storageMutex_);
    json stored = readStorage(self->storageFile_);
    stored[utf8(key)] = utf8(static_cast<CFStringRef>(data));
    return writeStorage(self->storageFile_, stored) ? OSStatus(noErr)
                                                    : OSStatus(kAudioHardwareUnspecifiedError);
}

OSStatus PlugInHost::deleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key) {
    PlugInHost* self = reinterpret_cast<const HostInterface*>(host)->owner;
    if (key == nullptr)
        return kAudioHardwareIllegalOperationError;
    if (self->storageFile_.empty())
        return kAudioHardwareUnspecifiedError;
    std::lock_guard lock(self->storageMutex_);
    json stored = readStorage(self->storageFile_);
    stored.erase(utf8(key));
    return writeStorage(self->storageFile_, stored) ? OSStatus(noErr)
                                                    : OSStatus(kAudioHardwareUnspecifiedError);
}

// As the HAL does, the change is made later, on another thread, while nothing else happens to the
// device: under the HAL lock, and only while this plug-in is still the loaded one.
OSStatus PlugInHost::requestConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID device,
                                                UInt64 action, void* info) {
    PlugInHost* self = reinterpret_cast<const HostInterface*>(host)->owner;
    if (device != self->driverDevice_)
        return kAudioHardwareBadDeviceError;
    std::thread([keep = self->shared_from_this(), action, info]() mutable {
        State& s = stateUnstarted();
        std::lock_guard lock(s.mutex);
        if (s.plugInHost == keep) {
            HalLockHeld held;
            (void)(*keep->driver_)
                ->PerformDeviceConfigurationChange(keep->driver_, keep->driverDevice_, action,
                                                   info);
        }
        keep.reset(); // the last reference, when the device has gone: unloaded under the lock
    }).detach();
    return noErr;
}

} // namespace sonarill::sim
