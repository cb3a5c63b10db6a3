#pragma once

// Internal to the simulation: the one process-wide simulated audio system behind the HAL
// functions and the control API.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "sim/ObjectIDAllocator.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sonarill::sim {

class Simulation {
public:
    static Simulation& instance();
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    // HAL calls; pointers are checked by the caller-facing functions.
    Boolean hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address);
    OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                Boolean& isSettable);
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32& dataSize);
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32& dataSize, void* data);
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 dataSize, const void* data);
    OSStatus addListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                         AudioObjectPropertyListenerProc proc, void* clientData);
    OSStatus removeListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                            AudioObjectPropertyListenerProc proc, void* clientData);

    // Control
    void ensureStarted();
    bool reset(const World& world, TimelineClock clock);
    std::vector<Device> devices();
    std::optional<AudioObjectID> addDevice(Device device);
    bool removeDevice(AudioObjectID id);
    bool removeDeviceByUID(std::string_view uid);
    std::optional<std::string> defaultUID(AudioObjectPropertySelector which);
    bool setDefault(AudioObjectPropertySelector which, std::string_view uid);
    std::vector<App> runningApps();
    bool launchApp(const App& app);
    bool quitApp(std::string_view bundleId);
    std::string recordDir();
    void injectFault(const Fault& fault);
    void clearFaults();
    void setCallHook(std::function<void(const CallInfo&)> hook);
    std::optional<std::string> routeConfigText();
    double timelineSeconds();
    void advanceTimeline(double seconds);
    void checkPluginFolder();
    void waitForNotifications();

private:
    enum class Property {
        deviceList,
        defaultOutput,
        defaultSystemOutput,
        uid,
        name,
        streams,
        transport,
        bufferFrameSize,
        routeConfig,
    };

    struct DeviceState {
        Device device;
        AudioStreamID inputStream = kAudioObjectUnknown;
        AudioStreamID outputStream = kAudioObjectUnknown;
        bool isVirtual = false;
        bool hasRouteConfig = false;
    };

    struct Listener {
        uint64_t id = 0;
        AudioObjectID object = kAudioObjectUnknown;
        AudioObjectPropertyAddress address{};
        AudioObjectPropertyListenerProc proc = nullptr;
        void* clientData = nullptr;
    };

    struct Notification {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
    };

    struct PluginFolder {
        std::filesystem::path path;
        std::string fingerprint;
        std::optional<DriverBundle> bundle; // the loadable bundle found at the last change
        double changedAt = 0.0;             // timeline seconds; -infinity: loaded at start
        double loadDelay = 0.0;
    };

    using Lock = std::unique_lock<std::mutex>;

    Simulation();

    // Everything a HAL call does before touching state: the hook, a hang, a fault. A status
    // means the call ends with it.
    std::optional<OSStatus> enterCall(HalCall call, AudioObjectID object,
                                      const AudioObjectPropertyAddress& address);
    std::optional<Fault> matchingFault(HalCall call, AudioObjectID object,
                                       AudioObjectPropertySelector selector) const;

    // The rest need mutex_ held.
    DeviceState* findDevice(AudioObjectID id);
    const DeviceState* findDevice(AudioObjectID id) const;
    bool objectExists(AudioObjectID id) const;
    bool idInUse(AudioObjectID id) const;
    // '!obj' for an unknown object, 'who?' for a property it does not have.
    OSStatus resolve(AudioObjectID object, const AudioObjectPropertyAddress& address,
                     Property& property) const;
    std::optional<Property> lookUp(AudioObjectID object,
                                   const AudioObjectPropertyAddress& address) const;
    std::vector<AudioObjectID> streamIDs(const DeviceState& device,
                                         AudioObjectPropertyScope scope) const;
    UInt32 dataSizeOf(const DeviceState* device, Property property,
                      AudioObjectPropertyScope scope) const;
    OSStatus setDefaultDevice(AudioObjectID& slot, AudioObjectPropertySelector selector,
                              AudioObjectID device);
    AudioObjectID firstOutputDevice() const;
    // Nothing when the object IDs it needs have run out.
    std::optional<AudioObjectID> addDeviceLocked(Device device, bool isVirtual,
                                                 bool hasRouteConfig);
    void removeDeviceAt(size_t index);
    // The virtual device comes and goes with the plug-in folder only.
    bool removeFirstPhysicalDevice(const std::function<bool(const Device&)>& matches);
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);
    double now() const;
    void applyEvent(const Event& event);
    void applyDueEvents(double time);
    void updateVirtualDevice(double time);
    double nextPluginLoadTime() const;
    void waitForListenerCall(Lock& lock, uint64_t listenerID);

    void scanPluginFolder();
    void deliverNotifications();
    void pollTimeline();

    mutable std::mutex mutex_;
    std::condition_variable wake_; // state changes that blocked threads wait for
    uint64_t generation_ = 0;      // bumped by reset and clearFaults to release blocked calls
    bool stopping_ = false;
    std::atomic<bool> started_{false};
    std::once_flag processStart_;

    std::vector<DeviceState> devices_;
    ObjectIDAllocator objectIDs_;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    AudioObjectID defaultSystemOutput_ = kAudioObjectUnknown;
    std::vector<App> apps_;
    std::string recordDir_;
    std::vector<Fault> faults_;
    std::function<void(const CallInfo&)> hook_;
    std::optional<std::string> routeConfigText_;
    std::chrono::steady_clock::time_point hangUntil_{};

    TimelineClock clock_ = TimelineClock::realTime;
    std::chrono::steady_clock::time_point start_{};
    double manualNow_ = 0.0;
    std::vector<Event> events_;
    size_t nextEvent_ = 0;
    PluginFolder plugin_;

    std::vector<Listener> listeners_;
    uint64_t nextListenerID_ = 1;
    std::deque<Notification> queue_;
    bool delivering_ = false;
    uint64_t listenerInCall_ = 0;
    std::thread::id notifierThread_;

    std::thread notifier_;
    std::thread poller_;
};

} // namespace sonarill::sim
