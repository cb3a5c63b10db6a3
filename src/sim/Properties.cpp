// The HAL's properties, in one table, and its C entry points.

#include "sim/Io.h"
#include "sim/PlugInHost.h"
#include "sim/State.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sonarill::sim {

namespace {

// Where a property is asked for.
struct Target {
    State& s;
    AudioObjectID object;
    DeviceState* device; // null on the system object
    AudioObjectPropertyScope scope;
    const AudioObjectPropertyAddress& address;
    UInt32 qualifierSize = 0;
    const void* qualifier = nullptr;
};

// Whose a property is: the system object's (global scope only), any device's (the HAL's own), or
// a physical device's (on the virtual device its driver answers instead); a device's have any
// scope.
enum class On { system, device, physicalDevice };

// One property: where it exists, its size, how it is read and, when settable, written.
struct Property {
    AudioObjectPropertySelector selector;
    On on;
    bool (*exists)(const Target&);
    OSStatus (*size)(const Target&, UInt32& size);
    OSStatus (*get)(const Target&, UInt32& size, void* data);
    OSStatus (*set)(const Target&, UInt32 size, const void* data);    // null: read-only
    OSStatus (*settable)(const Target&, Boolean& settable) = nullptr; // null: whether `set` is
};

OSStatus copyScalar(UInt32 value, UInt32& size, void* data) {
    if (size < sizeof value)
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(data, &value, sizeof value);
    size = sizeof value;
    return noErr;
}

// Arrays are filled as far as the caller's buffer goes, as the HAL does.
OSStatus copyIDs(const std::vector<AudioObjectID>& ids, UInt32& size, void* data) {
    const size_t count = std::min<size_t>(ids.size(), size / sizeof(AudioObjectID));
    if (count > 0)
        std::memcpy(data, ids.data(), count * sizeof(AudioObjectID));
    size = static_cast<UInt32>(count * sizeof(AudioObjectID));
    return noErr;
}

OSStatus copyString(const std::string& text, UInt32& size, void* data) {
    if (size < sizeof(CFStringRef))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    if (string == nullptr)
        return kAudioHardwareUnspecifiedError;
    std::memcpy(data, &string, sizeof string);
    size = sizeof string;
    return noErr;
}

std::optional<UInt32> readScalar(UInt32 size, const void* data) {
    if (size != sizeof(UInt32))
        return std::nullopt;
    UInt32 value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

std::vector<AudioObjectID> streamIDs(const Target& t) {
    std::vector<AudioObjectID> ids;
    const bool global = t.scope == kAudioObjectPropertyScopeGlobal;
    if ((global || t.scope == kAudioObjectPropertyScopeInput) && t.device->inputStream)
        ids.push_back(t.device->inputStream);
    if ((global || t.scope == kAudioObjectPropertyScopeOutput) && t.device->outputStream)
        ids.push_back(t.device->outputStream);
    return ids;
}

bool always(const Target&) {
    return true;
}

OSStatus scalarSize(const Target&, UInt32& size) {
    size = sizeof(UInt32);
    return noErr;
}

OSStatus stringSize(const Target&, UInt32& size) {
    size = sizeof(CFStringRef);
    return noErr;
}

// While the audio server restarts, the device list cannot be read.
bool serverDown(const Target& t) {
    return t.s.restart && now(t.s) < t.s.restart->until;
}

// An AudioBufferList with one buffer for the device's channels on the scope asked, none when it
// has no stream there.
UInt32 streamBufferCount(const Target& t) {
    const Device& device = t.device->device;
    return (t.scope == kAudioObjectPropertyScopeInput ? device.inputChannels
                                                      : device.outputChannels) > 0;
}

UInt32 streamConfigurationSize(const Target& t) {
    return UInt32(offsetof(AudioBufferList, mBuffers) + streamBufferCount(t) * sizeof(AudioBuffer));
}

OSStatus setDefault(const Target& t, AudioObjectPropertySelector which, UInt32 size,
                    const void* data) {
    const auto device = readScalar(size, data);
    if (!device)
        return kAudioHardwareBadPropertySizeError;
    return setDefaultDevice(t.s, which, *device);
}

const Property kProperties[] = {
    {kAudioHardwarePropertyDevices, On::system, always,
     [](const Target& t, UInt32& size) {
         if (serverDown(t))
             return OSStatus(kAudioHardwareNotRunningError);
         size = static_cast<UInt32>(t.s.deviceOrder.size() * sizeof(AudioObjectID));
         return OSStatus(noErr);
     },
     [](const Target& t, UInt32& size, void* data) {
         if (serverDown(t))
             return OSStatus(kAudioHardwareNotRunningError);
         return copyIDs(t.s.deviceOrder, size, data);
     },
     nullptr},
    {kAudioHardwarePropertyDefaultOutputDevice, On::system, always, scalarSize,
     [](const Target& t, UInt32& size, void* data) {
         return copyScalar(t.s.defaultOutput, size, data);
     },
     [](const Target& t, UInt32 size, const void* data) {
         return setDefault(t, kAudioHardwarePropertyDefaultOutputDevice, size, data);
     }},
    {kAudioHardwarePropertyDefaultSystemOutputDevice, On::system, always, scalarSize,
     [](const Target& t, UInt32& size, void* data) {
         return copyScalar(t.s.defaultSystemOutput, size, data);
     },
     [](const Target& t, UInt32 size, const void* data) {
         return setDefault(t, kAudioHardwarePropertyDefaultSystemOutputDevice, size, data);
     }},
    {kAudioDevicePropertyDeviceUID, On::physicalDevice, always, stringSize,
     [](const Target& t, UInt32& size, void* data) {
         return copyString(t.device->device.uid, size, data);
     },
     nullptr},
    {kAudioObjectPropertyName, On::physicalDevice, always, stringSize,
     [](const Target& t, UInt32& size, void* data) {
         return copyString(t.device->device.name, size, data);
     },
     nullptr},
    {kAudioDevicePropertyStreams, On::physicalDevice, always,
     [](const Target& t, UInt32& size) {
         size = static_cast<UInt32>(streamIDs(t).size() * sizeof(AudioObjectID));
         return OSStatus(noErr);
     },
     [](const Target& t, UInt32& size, void* data) { return copyIDs(streamIDs(t), size, data); },
     nullptr},
    {kAudioDevicePropertyTransportType, On::physicalDevice, always, scalarSize,
     [](const Target& t, UInt32& size, void* data) {
         return copyScalar(t.device->device.transport, size, data);
     },
     nullptr},
    {kAudioDevicePropertyBufferFrameSize, On::device, always, scalarSize,
     [](const Target& t, UInt32& size, void* data) {
         return copyScalar(t.device->device.bufferFrameSize, size, data);
     },
     [](const Target& t, UInt32 size, const void* data) {
         const auto frames = readScalar(size, data);
         if (!frames)
             return OSStatus(kAudioHardwareBadPropertySizeError);
         if (*frames < kMinBufferFrameSize || *frames > kMaxBufferFrameSize)
             return OSStatus(kAudioHardwareIllegalOperationError);
         if (t.device->device.bufferFrameSize != *frames) {
             t.device->device.bufferFrameSize = *frames;
             io::bufferFrameSizeChanged(t.object, *frames);
             notify(t.s, t.object, kAudioDevicePropertyBufferFrameSize);
             publishBufferFrameSize(t.s, *t.device);
         }
         return OSStatus(noErr);
     }},
    {kAudioDevicePropertyStreamConfiguration, On::device,
     [](const Target& t) { return t.scope != kAudioObjectPropertyScopeGlobal; },
     [](const Target& t, UInt32& size) {
         size = streamConfigurationSize(t);
         return OSStatus(noErr);
     },
     [](const Target& t, UInt32& size, void* data) {
         if (size < streamConfigurationSize(t))
             return OSStatus(kAudioHardwareBadPropertySizeError);
         AudioBufferList list{};
         list.mNumberBuffers = streamBufferCount(t);
         list.mBuffers[0].mNumberChannels = t.scope == kAudioObjectPropertyScopeInput
                                                ? t.device->device.inputChannels
                                                : t.device->device.outputChannels;
         size = streamConfigurationSize(t);
         std::memcpy(data, &list, size);
         return OSStatus(noErr);
     },
     nullptr},
};

bool isScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeGlobal || scope == kAudioObjectPropertyScopeInput ||
           scope == kAudioObjectPropertyScopeOutput;
}

// Whatever the virtual device's driver has, it answers.
const Property kDriverProperty = {
    0,
    On::device,
    always,
    [](const Target& t, UInt32& size) {
        return t.s.plugInHost->propertyDataSize(t.address, t.qualifierSize, t.qualifier, size);
    },
    [](const Target& t, UInt32& size, void* data) {
        return t.s.plugInHost->propertyData(t.address, t.qualifierSize, t.qualifier, size, data);
    },
    [](const Target& t, UInt32 size, const void* data) {
        return t.s.plugInHost->setPropertyData(t.address, t.qualifierSize, t.qualifier, size, data);
    },
    [](const Target& t, Boolean& settable) {
        return t.s.plugInHost->isPropertySettable(t.address, settable);
    }};

const Property* driverProperty(const Target& t, const AudioObjectPropertyAddress& address) {
    if (t.device == nullptr || !t.device->isVirtual || t.s.plugInHost == nullptr)
        return nullptr;
    // An older driver's bundle: its driver has no route configuration.
    if (address.mSelector == kRouteConfigSelector && !t.device->hasRouteConfig)
        return nullptr;
    return t.s.plugInHost->hasProperty(address) ? &kDriverProperty : nullptr;
}

const Property* lookUp(const Target& t, const AudioObjectPropertyAddress& address) {
    if (const Property* answered = driverProperty(t, address))
        return answered;
    if (address.mElement != kAudioObjectPropertyElementMain)
        return nullptr;
    const bool onSystem = t.object == AudioObjectID(kAudioObjectSystemObject);
    if (onSystem ? address.mScope != kAudioObjectPropertyScopeGlobal : !isScope(address.mScope))
        return nullptr;
    const bool virtualDevice = t.device != nullptr && t.device->isVirtual;
    for (const Property& property : kProperties) {
        const bool here = onSystem ? property.on == On::system
                                   : property.on == On::device ||
                                         (property.on == On::physicalDevice && !virtualDevice);
        if (property.selector == address.mSelector && here)
            return property.exists(t) ? &property : nullptr;
    }
    return nullptr;
}

// The property at `address` of `object`: '!obj' for an unknown object, 'who?' for a property it
// does not have. The lock is held.
OSStatus resolve(State& s, AudioObjectID object, const AudioObjectPropertyAddress& address,
                 std::optional<Target>& target, const Property*& property, UInt32 qualifierSize = 0,
                 const void* qualifier = nullptr) {
    if (!objectExists(s, object))
        return kAudioHardwareBadObjectError;
    target.emplace(Target{s, object, findDevice(s, object), address.mScope, address, qualifierSize,
                          qualifier});
    property = lookUp(*target, address);
    return property == nullptr ? OSStatus(kAudioHardwareUnknownPropertyError) : OSStatus(noErr);
}

bool badQualifier(UInt32 size, const void* data) {
    return size > 0 && data == nullptr;
}

bool isWildcard(const AudioObjectPropertyAddress& address) {
    return address.mSelector == kAudioObjectPropertySelectorWildcard ||
           address.mScope == kAudioObjectPropertyScopeWildcard ||
           address.mElement == kAudioObjectPropertyElementWildcard;
}

bool sameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

// A HAL call on one property: the call's hook, hang and faults first, then the property of the
// object, under the lock.
template <typename Body>
OSStatus onProperty(AudioCall call, AudioObjectID object, const AudioObjectPropertyAddress& address,
                    UInt32 qualifierSize, const void* qualifier, Body body) {
    if (const auto status = enterCall(call, object, address))
        return *status;
    State& s = state();
    std::lock_guard lock(s.mutex);
    pullSharedSystem(s);
    std::optional<Target> target;
    const Property* property = nullptr;
    if (const OSStatus status =
            resolve(s, object, address, target, property, qualifierSize, qualifier);
        status != noErr)
        return status;
    return body(*target, *property);
}

} // namespace

} // namespace sonarill::sim

using namespace sonarill::sim;

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress) {
    if (inAddress == nullptr || enterCall(AudioCall::hasProperty, inObjectID, *inAddress))
        return false;
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::optional<Target> target;
    const Property* property = nullptr;
    return resolve(s, inObjectID, *inAddress, target, property) == noErr;
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (inAddress == nullptr || outIsSettable == nullptr)
        return kAudio_ParamError;
    return onProperty(AudioCall::isPropertySettable, inObjectID, *inAddress, 0, nullptr,
                      [&](const Target& target, const Property& property) {
                          if (property.settable != nullptr)
                              return property.settable(target, *outIsSettable);
                          *outIsSettable = property.set != nullptr;
                          return OSStatus(noErr);
                      });
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    if (inAddress == nullptr || outDataSize == nullptr ||
        badQualifier(inQualifierDataSize, inQualifierData))
        return kAudio_ParamError;
    return onProperty(AudioCall::getPropertyDataSize, inObjectID, *inAddress, inQualifierDataSize,
                      inQualifierData, [&](const Target& target, const Property& property) {
                          return property.size(target, *outDataSize);
                      });
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    if (inAddress == nullptr || ioDataSize == nullptr || outData == nullptr ||
        badQualifier(inQualifierDataSize, inQualifierData))
        return kAudio_ParamError;
    return onProperty(AudioCall::getPropertyData, inObjectID, *inAddress, inQualifierDataSize,
                      inQualifierData, [&](const Target& target, const Property& property) {
                          return property.get(target, *ioDataSize, outData);
                      });
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData) {
    if (inAddress == nullptr || inData == nullptr ||
        badQualifier(inQualifierDataSize, inQualifierData))
        return kAudio_ParamError;
    return onProperty(AudioCall::setPropertyData, inObjectID, *inAddress, inQualifierDataSize,
                      inQualifierData, [&](const Target& target, const Property& property) {
                          if (property.set == nullptr)
                              return OSStatus(kAudioHardwareIllegalOperationError); // read-only
                          return property.set(target, inDataSize, inData);
                      });
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr)
        return kAudio_ParamError;
    if (const auto status = enterCall(AudioCall::addPropertyListener, inObjectID, *inAddress))
        return *status;
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::optional<Target> target;
    const Property* property = nullptr;
    const OSStatus status = resolve(s, inObjectID, *inAddress, target, property);
    if (status == kAudioHardwareBadObjectError || (status != noErr && !isWildcard(*inAddress)))
        return status;
    s.listeners.push_back({s.nextListenerID++, inObjectID, *inAddress, inListener, inClientData});
    return noErr;
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData) {
    if (inAddress == nullptr || inListener == nullptr)
        return kAudio_ParamError;
    if (const auto status = enterCall(AudioCall::removePropertyListener, inObjectID, *inAddress))
        return *status;
    State& s = state();
    Lock lock(s.mutex);
    const auto found =
        std::find_if(s.listeners.begin(), s.listeners.end(), [&](const Listener& listener) {
            return listener.object == inObjectID && sameAddress(listener.address, *inAddress) &&
                   listener.proc == inListener && listener.clientData == inClientData;
        });
    if (found == s.listeners.end())
        return objectExists(s, inObjectID) ? kAudioHardwareIllegalOperationError
                                           : kAudioHardwareBadObjectError;
    const uint64_t id = found->id;
    s.listeners.erase(found);
    // The caller may free the client data next: let a call of this listener finish first.
    waitForListenerCall(s, lock, id);
    return noErr;
}
}
