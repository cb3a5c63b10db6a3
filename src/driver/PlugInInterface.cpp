// The COM plumbing the host sees: the factory named in Info.plist, the driver interface table,
// QueryInterface and reference counts. Each entry checks its arguments and hands over to the
// Driver; nothing here knows what the driver does.
#include "audio/AudioServerPlugInAPI.h"
#include "driver/Driver.h"
#include "driver/Properties.h"

#include <cstring>
#include <mutex>

using namespace sonarill::driver;

namespace {

AudioServerPlugInDriverInterface gInterface;
AudioServerPlugInDriverInterface* gInterfacePointer = &gInterface;
const AudioServerPlugInDriverRef gDriverRef = &gInterfacePointer;

// The driver exists while the host holds a reference: the factory makes it, the last Release
// ends it, and a later factory call starts afresh, as a freshly loaded plug-in would.
std::mutex gLifeMutex;
ULONG gReferences = 0;
Driver* gDriver = nullptr;

bool isOurs(const void* driverRef) {
    return driverRef == gDriverRef && gDriver != nullptr;
}

bool sameUUID(CFUUIDBytes bytes, CFUUIDRef uuid) {
    const CFUUIDBytes other = CFUUIDGetUUIDBytes(uuid);
    return std::memcmp(&bytes, &other, sizeof bytes) == 0;
}

HRESULT queryInterface(void* driver, REFIID uuid, LPVOID* out) {
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (driver != gDriverRef)
        return E_NOINTERFACE;
    if (!sameUUID(uuid, IUnknownUUID) && !sameUUID(uuid, kAudioServerPlugInDriverInterfaceUUID))
        return E_NOINTERFACE;
    std::lock_guard lock(gLifeMutex);
    if (gDriver == nullptr)
        return E_UNEXPECTED;
    ++gReferences;
    *out = gDriverRef;
    return S_OK;
}

ULONG addRef(void* driver) {
    std::lock_guard lock(gLifeMutex);
    if (driver != gDriverRef || gReferences == 0)
        return 0;
    return ++gReferences;
}

ULONG release(void* driver) {
    std::lock_guard lock(gLifeMutex);
    if (driver != gDriverRef || gReferences == 0)
        return 0;
    if (--gReferences == 0) {
        delete gDriver;
        gDriver = nullptr;
    }
    return gReferences;
}

OSStatus initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    if (!isOurs(driver))
        return kAudioHardwareBadObjectError;
    gDriver->initialize(host);
    return kAudioHardwareNoError;
}

// The device is fixed: the host cannot make or destroy one.
OSStatus createDevice(AudioServerPlugInDriverRef, CFDictionaryRef,
                      const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kAudioHardwareUnsupportedOperationError;
}
OSStatus destroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus addDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                         const AudioServerPlugInClientInfo* client) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    if (client == nullptr)
        return kAudioHardwareIllegalOperationError;
    gDriver->addClient(*client);
    return kAudioHardwareNoError;
}

OSStatus removeDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                            const AudioServerPlugInClientInfo* client) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    if (client == nullptr)
        return kAudioHardwareIllegalOperationError;
    gDriver->removeClient(*client);
    return kAudioHardwareNoError;
}

// No configuration change is ever requested.
OSStatus configurationChange(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt64,
                             void*) {
    return isOurs(driver) && device == kDeviceID ? kAudioHardwareNoError
                                                 : kAudioHardwareBadObjectError;
}

Boolean hasPropertyEntry(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                         const AudioObjectPropertyAddress* address) {
    return isOurs(driver) && address != nullptr && hasProperty({*gDriver, object, *address});
}

OSStatus isPropertySettableEntry(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                 const AudioObjectPropertyAddress* address, Boolean* settable) {
    if (!isOurs(driver))
        return kAudioHardwareBadObjectError;
    if (address == nullptr || settable == nullptr)
        return kAudioHardwareIllegalOperationError;
    return isPropertySettable({*gDriver, object, *address}, *settable);
}

OSStatus getPropertyDataSizeEntry(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                  const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                  const void* qualifier, UInt32* size) {
    if (!isOurs(driver))
        return kAudioHardwareBadObjectError;
    if (address == nullptr || size == nullptr)
        return kAudioHardwareIllegalOperationError;
    return propertyDataSize({*gDriver, object, *address, qualifierSize, qualifier}, *size);
}

OSStatus getPropertyDataEntry(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                              const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                              const void* qualifier, UInt32 capacity, UInt32* size, void* data) {
    if (!isOurs(driver))
        return kAudioHardwareBadObjectError;
    if (address == nullptr || size == nullptr)
        return kAudioHardwareIllegalOperationError;
    return propertyData({*gDriver, object, *address, qualifierSize, qualifier}, capacity, *size,
                        data);
}

OSStatus setPropertyDataEntry(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                              const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                              const void* qualifier, UInt32 size, const void* data) {
    if (!isOurs(driver))
        return kAudioHardwareBadObjectError;
    if (address == nullptr)
        return kAudioHardwareIllegalOperationError;
    return setPropertyData({*gDriver, object, *address, qualifierSize, qualifier}, size, data);
}

OSStatus startIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    gDriver->startIO();
    return kAudioHardwareNoError;
}

OSStatus stopIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    gDriver->stopIO();
    return kAudioHardwareNoError;
}

OSStatus getZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                          Float64* sampleTime, UInt64* hostTime, UInt64* seed) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    if (sampleTime == nullptr || hostTime == nullptr || seed == nullptr)
        return kAudioHardwareIllegalOperationError;
    gDriver->zeroTimeStamp(*sampleTime, *hostTime, *seed);
    return kAudioHardwareNoError;
}

OSStatus willDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                           UInt32 operation, Boolean* willDo, Boolean* inPlace) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    const bool ours = operation == kAudioServerPlugInIOOperationReadInput ||
                      operation == kAudioServerPlugInIOOperationProcessOutput ||
                      operation == kAudioServerPlugInIOOperationWriteMix;
    if (willDo != nullptr)
        *willDo = ours;
    if (inPlace != nullptr)
        *inPlace = true;
    return kAudioHardwareNoError;
}

OSStatus beginOrEndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                               UInt32, UInt32, const AudioServerPlugInIOCycleInfo*) {
    return isOurs(driver) && device == kDeviceID ? kAudioHardwareNoError
                                                 : kAudioHardwareBadObjectError;
}

OSStatus doIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                       AudioObjectID stream, UInt32 client, UInt32 operation, UInt32 frames,
                       const AudioServerPlugInIOCycleInfo* cycle, void* mainBuffer, void*) {
    if (!isOurs(driver) || device != kDeviceID)
        return kAudioHardwareBadObjectError;
    return gDriver->doIO(stream, client, operation, frames, cycle, mainBuffer);
}

AudioServerPlugInDriverInterface makeInterface() {
    AudioServerPlugInDriverInterface table{};
    table.QueryInterface = queryInterface;
    table.AddRef = addRef;
    table.Release = release;
    table.Initialize = initialize;
    table.CreateDevice = createDevice;
    table.DestroyDevice = destroyDevice;
    table.AddDeviceClient = addDeviceClient;
    table.RemoveDeviceClient = removeDeviceClient;
    table.PerformDeviceConfigurationChange = configurationChange;
    table.AbortDeviceConfigurationChange = configurationChange;
    table.HasProperty = hasPropertyEntry;
    table.IsPropertySettable = isPropertySettableEntry;
    table.GetPropertyDataSize = getPropertyDataSizeEntry;
    table.GetPropertyData = getPropertyDataEntry;
    table.SetPropertyData = setPropertyDataEntry;
    table.StartIO = startIO;
    table.StopIO = stopIO;
    table.GetZeroTimeStamp = getZeroTimeStamp;
    table.WillDoIOOperation = willDoIOOperation;
    table.BeginIOOperation = beginOrEndIOOperation;
    table.DoIOOperation = doIOOperation;
    table.EndIOOperation = beginOrEndIOOperation;
    return table;
}

} // namespace

// The one exported symbol: named in Info.plist under CFPlugInFactories.
extern "C" __attribute__((visibility("default"))) void*
SonarillDriverFactory(CFAllocatorRef, CFUUIDRef requestedType) {
    if (requestedType == nullptr || !CFEqual(requestedType, kAudioServerPlugInTypeUUID))
        return nullptr;
    std::lock_guard lock(gLifeMutex);
    if (gDriver == nullptr) {
        gInterface = makeInterface();
        gDriver = new Driver;
    }
    ++gReferences;
    return gDriverRef;
}
