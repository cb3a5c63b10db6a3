#pragma once

#include "sim/World.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The C++ control side of the simulated audio system, for tests, tools and the simulated
// platform. Every function is thread-safe. The simulation starts on first use with the
// process's world (see processWorld) unless resetWorld came first.
namespace sonarill::sim {

// The simulated HAL plug-in folder: $XDG_DATA_HOME/sonarill-sim/HAL, or
// ~/.local/share/sonarill-sim/HAL when XDG_DATA_HOME is unset or not absolute. Read from the
// environment on each call; the simulation reads it once per start or reset.
std::filesystem::path halPluginFolder();

inline constexpr std::string_view kVirtualDeviceUID = "Sonarill_OutputDevice";

enum class TimelineClock {
    realTime, // a simulation thread fires events and notices the plug-in folder by itself
    manual,   // nothing happens until advanceTimeline
};

// Starts the simulation with the process's world if nothing has started it yet. Programs call
// it early so a broken world file stops them before anything else happens.
void startSimulation();

// Replaces the whole simulated system: devices, defaults, apps, faults, timeline, plug-in
// folder (as `world.plugin.installed` says), and forgets every listener and the call hook.
// Calls blocked by a fault or a hang return. Listener calls in progress finish first.
// False, after a line on standard error, when the plug-in folder could not be prepared.
bool resetWorld(const World& world, TimelineClock clock = TimelineClock::realTime);

// Devices, in the order the device list reports them (the virtual device included).
std::vector<Device> devices();
// The ID the device got, or nothing when `device.id` is taken, the UID is empty or the object
// IDs have run out.
std::optional<AudioObjectID> addDevice(Device device);
// Physical devices only; the virtual device comes and goes with the plug-in folder.
bool removeDevice(AudioObjectID id);
bool removeDeviceByUID(std::string_view uid); // the first device with this UID

std::optional<std::string> defaultOutputUID();
std::optional<std::string> defaultSystemOutputUID();
// False when no device with output streams has this UID.
bool setDefaultOutput(std::string_view uid);
bool setDefaultSystemOutput(std::string_view uid);

std::vector<App> runningApps();
bool launchApp(const App& app); // false when an app with that bundle identifier runs
bool quitApp(std::string_view bundleId);
std::string recordDir();

void injectFault(const Fault& fault);
void clearFaults();

struct CallInfo {
    HalCall call;
    AudioObjectID object;
    AudioObjectPropertyAddress address;
};
// Runs at the start of every HAL call, on the caller's thread, before faults apply; it may use
// this control API (for example to unplug a device between two calls). Empty to remove.
void setCallHook(std::function<void(const CallInfo&)> hook);

// The text last set on the virtual device's 'snrc' since it appeared; nothing when none was.
std::optional<std::string> routeConfigText();

// Seconds since the start or reset, on the timeline's clock.
double timelineSeconds();
// Manual clock only: moves time forward, notices plug-in folder changes at the current time,
// and applies every event and plug-in load that falls due, in time order.
void advanceTimeline(double seconds);
// Looks at the plug-in folder now instead of at the next poll.
void checkPluginFolder();

// Returns once every listener call queued so far has run (immediately on the listener thread).
void waitForNotifications();

} // namespace sonarill::sim
