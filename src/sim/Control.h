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
// Beside it, in its parent folder, live what every process on the simulated machine shares, as
// programs on a Mac share one audio server: the default output, the default system output and
// the devices' buffer frame sizes, by UID ("system.json", read and written under the file lock
// "system.lock"). A process sees another's change at its next HAL call on those properties, and
// on the real-time clock within a poll even without one, listeners included.

inline constexpr std::string_view kVirtualDeviceUID = "Sonarill_OutputDevice";

enum class TimelineClock {
    realTime, // a simulation thread fires events and notices the plug-in folder by itself
    manual,   // nothing happens until advanceTimeline
};

// Starts the simulation with the process's world if nothing has started it yet. Programs call
// it early so a broken world file stops them before anything else happens, with one line on
// standard error.
void startSimulation();

// Starts the simulation as a second program on a system another process runs already (a helper
// process of the application): with the process's world, but leaving the plug-in folder as it
// is, taking the defaults and buffer frame sizes from the simulated system's folder, and without
// the world's timeline events other than hangs, so that it changes nothing of the shared system
// by itself. Does nothing once the simulation has started: call it before any other use.
void joinSimulation();

// Replaces the whole simulated system: devices, defaults, apps, faults, timeline, plug-in
// folder (as `world.plugin.installed` says), every unit, and forgets every listener and the
// call hook. Calls blocked by a fault or a hang return. Listener calls and unit callbacks in
// progress finish first. Fails when the plug-in folder could not be prepared; the rest of the
// world is in place even then.
base::Expected<void> resetWorld(const World& world, TimelineClock clock = TimelineClock::realTime);

// Devices and defaults (Devices.cpp)

// Devices, in the order the device list reports them (the virtual device included).
std::vector<Device> devices();
// The ID the device got; fails when the UID is empty, `device.id` is taken or the object IDs
// have run out. An ID of 0 asks for a fresh one.
base::Expected<AudioObjectID> addDevice(Device device);
// Physical devices only; the virtual device comes and goes with the plug-in folder. By UID:
// the first such device in list order.
base::Expected<void> removeDevice(AudioObjectID id);
base::Expected<void> removeDeviceByUID(std::string_view uid);

// A device's clock from now on, `ppm` off 48 kHz: a clock that wanders, as a device's does when it
// warms up. Fails when no device has the UID.
base::Expected<void> setDeviceClock(std::string_view uid, double ppm);

// `which`: kAudioHardwarePropertyDefaultOutputDevice or ...DefaultSystemOutputDevice.
std::optional<std::string> defaultDeviceUID(AudioObjectPropertySelector which);
// Fails when no device with output streams has this UID.
base::Expected<void> setDefaultDevice(AudioObjectPropertySelector which, std::string_view uid);

// Applications (Apps.cpp)

std::vector<App> runningApps();
base::Expected<void> launchApp(const App& app); // fails when one with that identifier runs
base::Expected<void> quitApp(std::string_view bundleId);
std::string recordDir();

// Faults (Faults.cpp)

void injectFault(const Fault& fault);
void clearFaults();

struct CallInfo {
    AudioCall call;
    AudioObjectID object;
    AudioObjectPropertyAddress address;
};
// Runs at the start of every HAL call, on the caller's thread, before faults apply; it may use
// this control API (for example to unplug a device between two calls). Empty to remove.
void setCallHook(std::function<void(const CallInfo&)> hook);

// The audio server (AudioServer.cpp)

// The text last set on the virtual device's 'snrc' since it appeared; nothing when none was.
std::optional<std::string> routeConfigText();
// Looks at the plug-in folder now instead of at the next poll.
void checkPluginFolder();

// The timeline (Timeline.cpp)

// Seconds since the start or reset, on the timeline's clock.
double timelineSeconds();
// Manual clock only: moves time forward, notices plug-in folder changes at the current time,
// and applies every event, plug-in load and unit I/O period that falls due, in time order.
void advanceTimeline(double seconds);

// Listeners (Listeners.cpp)

// Returns once every listener call queued so far has run (immediately on the listener thread).
void waitForNotifications();

// What physical devices played (Units.cpp)

// The last `frames` frames a device played (interleaved stereo at 48 kHz, older first; fewer
// when it played fewer; none for an unknown device) and how many it played in all since the
// world began.
std::vector<float> recentlyPlayed(std::string_view uid, size_t frames);
UInt64 framesPlayed(std::string_view uid);
// Manual clock only: the running units of the device make no period for `seconds` and then go on
// from where they were, as a device whose I/O stopped for a while. False when no running unit
// plays or reads that device.
bool stallDevice(std::string_view uid, double seconds);
// Completes the recordings' files in recordDir (also done when the world is reset).
void flushRecordings();

} // namespace sonarill::sim
