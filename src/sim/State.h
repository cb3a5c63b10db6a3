#pragma once

// Internal to the simulation: the one simulated audio system's state, laid out in one place, and
// the functions its files share. Each file owns one concern:
//   Devices.cpp       devices and defaults: adding, the one way a device goes, lookups
//   SharedSystem.cpp  the defaults and buffer frame sizes every process on the machine shares
//   Properties.cpp    the property table and the HAL's C entry points
//   Listeners.cpp     property listeners and the thread that calls them
//   Faults.cpp        injected faults, hangs and the call hook
//   AudioServer.cpp   the plug-in folder and the audio server that loads the virtual device
//   PlugInHost.cpp    the audio server's side of the driver it loads
//   Timeline.cpp      the clock, the timeline's events, starting and resetting the world
//   Apps.cpp          the running applications
//   Units.cpp         the I/O units, the physical devices' cycles and their clock (with its
//                     own lock; see Io.h)
//   VirtualIO.cpp     the virtual device's IO cycles through its driver (a lock of its own)
// Every field below is guarded by `mutex`, except where a comment says otherwise.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "sim/ObjectIDAllocator.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sonarill::sim {

using SteadyClock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;

inline constexpr AudioObjectPropertySelector kRouteConfigSelector = detail::fourCharCode("snrc");

class PlugInHost;

struct DeviceState {
    Device device;
    AudioStreamID inputStream = kAudioObjectUnknown;
    AudioStreamID outputStream = kAudioObjectUnknown;
    bool isVirtual = false;      // the loaded driver's device, which answers its properties
    bool hasRouteConfig = false; // false: from an older bundle, whose driver has no 'snrc'
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

// The files of the simulated system's folder that every process shares (SharedSystem.cpp).
struct SharedSystem {
    SharedSystem() = default;
    ~SharedSystem();
    SharedSystem(const SharedSystem&) = delete;
    SharedSystem& operator=(const SharedSystem&) = delete;
    void close();

    std::filesystem::path folder; // empty: this process keeps its system to itself
    int lockFile = -1;
    uint64_t* changeCount = nullptr; // mapped from the lock file, shared by every process
    std::optional<uint64_t> seen;    // the change count this process last read or wrote
    bool quiet = false;              // a world being put together: nothing to publish yet
    bool joined = false; // the world keeps the system's state: see World::keepSystemState
};

struct State {
    State();
    ~State();

    std::mutex mutex;
    std::condition_variable wake; // state changes that blocked threads wait for
    uint64_t generation = 0;      // bumped by reset and clearFaults to release blocked calls
    bool stopping = false;
    std::atomic<bool> started{false}; // read without the lock
    std::once_flag processStart;

    // Devices and defaults
    std::unordered_map<AudioObjectID, DeviceState> devices;
    std::vector<AudioObjectID> deviceOrder; // the device list, in the order it is reported
    ObjectIDAllocator objectIDs;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    AudioObjectID defaultSystemOutput = kAudioObjectUnknown;
    struct Restart {
        double until = 0.0;          // timeline seconds: the device list fails until then
        std::vector<Device> devices; // the physical devices, to come back under new IDs
        std::optional<std::string> defaultOutput, defaultSystemOutput; // by UID
    };
    std::optional<Restart> restart; // the audio server is restarting

    SharedSystem shared;

    // Applications
    std::vector<App> apps;
    std::string recordDir;

    // Faults, hangs, the call hook
    std::vector<Fault> faults;
    std::function<void(const CallInfo&)> hook;
    SteadyClock::time_point hangUntil{};

    // Audio server
    PluginFolder plugin;
    // The driver loaded from the plug-in folder, while its device is listed. Shared with a
    // configuration change it asked for, which may outlive the device.
    std::shared_ptr<PlugInHost> plugInHost;

    // Timeline
    TimelineClock clock = TimelineClock::realTime;
    SteadyClock::time_point start{};
    double manualNow = 0.0;
    std::vector<Event> events;
    size_t nextEvent = 0;

    // Listeners
    std::vector<Listener> listeners;
    uint64_t nextListenerID = 1;
    std::deque<Notification> queue;
    bool delivering = false;
    uint64_t listenerInCall = 0;
    std::thread::id notifierThread;

    std::thread notifier; // Listeners.cpp
    std::thread poller;   // Timeline.cpp
};

// The simulation, started with the process's world on first use.
State& state();
// The simulation, without starting it.
State& stateUnstarted();

// Devices.cpp; the lock held.
const DeviceState* findDevice(const State& s, AudioObjectID id);
DeviceState* findDevice(State& s, AudioObjectID id);
// The first device in list order with this UID; only physical ones when asked.
const DeviceState* findDeviceByUID(const State& s, std::string_view uid, bool physicalOnly);
bool objectExists(const State& s, AudioObjectID id);
AudioObjectID firstOutputDevice(const State& s);
AudioObjectID& defaultSlot(State& s, AudioObjectPropertySelector which);
OSStatus setDefaultDevice(State& s, AudioObjectPropertySelector which, AudioObjectID device);
base::Expected<AudioObjectID> addDeviceLocked(State& s, Device device, bool isVirtual = false,
                                              bool hasRouteConfig = false);
// The one way a device goes, whoever asks: it leaves the list, the defaults move on, its units
// stop calling back, listeners hear of it.
void removeDeviceLocked(State& s, AudioObjectID id);
void clearDevices(State& s);

// SharedSystem.cpp; the lock held. What this process changes of the shared values it publishes;
// before it reads or changes them it pulls what the other processes published.
void openSharedSystem(State& s, const std::filesystem::path& folder); // closes the earlier one
void pullSharedSystem(State& s);
void publishDefault(State& s, AudioObjectPropertySelector which);
void publishBufferFrameSize(State& s, const DeviceState& device);
// The shared values become this process's: a world that starts from its own defaults.
void publishWholeSystem(State& s);

// Listeners.cpp; the lock held.
void notify(State& s, AudioObjectID object, AudioObjectPropertySelector selector);
// Waits until a call of this listener in progress has finished (not on the listener thread).
void waitForListenerCall(State& s, Lock& lock, uint64_t listenerID);
void deliverNotifications(State& s); // the listener thread's loop

// Faults.cpp. Everything a HAL call does before it touches state: the hook, a hang, a fault.
// A status means the call ends with it. Takes the lock itself.
std::optional<OSStatus> enterCall(AudioCall call, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address);

// AudioServer.cpp; the lock held unless said.
void updateVirtualDevice(State& s, double time);
double nextPluginLoadTime(const State& s);
void scanPluginFolder(State& s); // takes the lock itself
// Where the loaded driver's storage is kept: a file per bundle identifier beside the plug-in
// folder; empty when there is no folder. Kept across restarts and reinstalls, as a Mac keeps it.
std::filesystem::path plugInStorageFile(const std::filesystem::path& pluginFolder,
                                        std::string_view bundleIdentifier);
// The storage of every driver forgotten: a world that starts afresh.
void forgetPlugInStorage(const std::filesystem::path& pluginFolder);
// A fingerprint of the plug-in folder and the bundle it holds, read without the lock.
struct PluginFolderReading {
    std::string fingerprint;
    std::optional<DriverBundle> bundle;
};
PluginFolderReading readPluginFolder(const std::filesystem::path& folder);
// Puts the plug-in folder in the state the world asks for.
base::Expected<void> preparePluginFolder(const std::filesystem::path& folder,
                                         const PluginSettings& plugin);

// Timeline.cpp; the lock held.
double now(const State& s);
void pollTimeline(State& s); // the poller thread's loop

// Apps.cpp; the lock held.
base::Expected<void> launchAppLocked(State& s, const App& app);
base::Expected<void> quitAppLocked(State& s, std::string_view bundleId);
// Each application plays to the default output, as on a Mac: to the virtual device as a client
// of its driver while that is the default, otherwise straight to the physical default device.
// Called whenever the apps, the default output or the loaded driver change.
void updateAppClients(State& s);

} // namespace sonarill::sim
