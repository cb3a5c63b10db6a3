#pragma once

// Internal to the simulation: the audio server's side of the HAL plug-in it loads from its
// plug-in folder, as a Mac's audio server hosts one. The bundle's executable is opened, the
// factory its Info.plist names is asked for the driver interface, and the driver is initialized
// with the host's interface: the properties it says changed reach the HAL's listeners, what it
// stores is kept in a file of the simulated system's folder, and a configuration change it asks
// for is made on a thread of the host's. The driver's device then answers the HAL's property
// calls on the virtual device.

#include "base/Expected.h"
#include "sim/AudioServerPlugIn.h"
#include "sim/DriverBundle.h"
#include "sim/World.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonarill::sim {

class PlugInHost : public std::enable_shared_from_this<PlugInHost> {
public:
    // The plug-in, loaded and initialized; why not when its executable cannot be loaded, it
    // exports no factory of the name Info.plist gives, the factory makes no driver, or the driver
    // has no device. `storageFile` empty: the driver's storage calls fail.
    static base::Expected<std::shared_ptr<PlugInHost>> load(const std::filesystem::path& bundlePath,
                                                            const DriverBundle& bundle,
                                                            std::filesystem::path storageFile);
    // Its IO cycles stopped, its clients removed, the host's reference released (which ends the
    // driver) and the executable closed. With the HAL lock held.
    ~PlugInHost();
    PlugInHost(const PlugInHost&) = delete;
    PlugInHost& operator=(const PlugInHost&) = delete;

    // The driver's device as the HAL lists it: UID, name, transport, its streams' channels.
    const Device& device() const { return device_; }
    // The HAL's IDs for that device and its streams, once it is listed; its IO cycles start
    // calling the driver.
    void attach(AudioObjectID device, AudioStreamID input, AudioStreamID output);
    // The applications that play to the device, each with a tone and its own bundle identifier:
    // each a client of the driver (AddDeviceClient with its bundle identifier, then StartIO) from
    // when it starts playing there, until it stops (StopIO, then RemoveDeviceClient). With the
    // HAL lock held.
    void setClients(const std::vector<App>& apps);

    // The HAL's property calls on the device. Every call below is made with the HAL lock held:
    // what the driver announces inside one is queued for the listeners at once.
    bool hasProperty(const AudioObjectPropertyAddress& address) const;
    OSStatus isPropertySettable(const AudioObjectPropertyAddress& address, Boolean& settable) const;
    OSStatus propertyDataSize(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                              const void* qualifier, UInt32& size) const;
    // `size`: the caller's capacity in, the size of the answer out.
    OSStatus propertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                          const void* qualifier, UInt32& size, void* data) const;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 size, const void* data) const;
    // The device's route configuration text; empty when it has none.
    std::string routeText() const;

private:
    // What the driver gets as its host: the interface first, so the driver's host reference
    // leads back to this object.
    struct HostInterface {
        AudioServerPlugInHostInterface table;
        PlugInHost* owner;
    };

    PlugInHost() = default;
    base::Expected<void> start(const std::filesystem::path& bundlePath, const DriverBundle& bundle);
    base::Expected<void> findDevice();
    AudioObjectID halObjectOf(AudioObjectID driverObject) const;
    AudioObjectID driverObjectOf(AudioObjectID halObject) const;
    void translateIDs(AudioObjectPropertySelector selector, UInt32 size, void* data) const;

    static OSStatus propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID object,
                                      UInt32 count, const AudioObjectPropertyAddress* addresses);
    static OSStatus copyFromStorage(AudioServerPlugInHostRef host, CFStringRef key,
                                    CFPropertyListRef* data);
    static OSStatus writeToStorage(AudioServerPlugInHostRef host, CFStringRef key,
                                   CFPropertyListRef data);
    static OSStatus deleteFromStorage(AudioServerPlugInHostRef host, CFStringRef key);
    static OSStatus requestConfigurationChange(AudioServerPlugInHostRef host, AudioObjectID device,
                                               UInt64 action, void* info);

    void* module_ = nullptr;
    AudioServerPlugInDriverRef driver_ = nullptr;
    bool initialized_ = false;
    HostInterface host_{};
    std::filesystem::path storageFile_;
    std::mutex storageMutex_; // storage calls may come from any of the driver's threads

    Device device_;
    AudioObjectID driverDevice_ = kAudioObjectUnknown;
    AudioStreamID driverInput_ = kAudioObjectUnknown, driverOutput_ = kAudioObjectUnknown;
    AudioObjectID halDevice_ = kAudioObjectUnknown;
    AudioStreamID halInput_ = kAudioObjectUnknown, halOutput_ = kAudioObjectUnknown;

    std::map<std::string, UInt32, std::less<>> clients_; // client IDs by bundle identifier
    UInt32 nextClientID_ = 1;                            // 0 is the host's own
};

} // namespace sonarill::sim
