#pragma once

#include "base/Expected.h"
#include "sim/AudioToolbox.h"
#include "sim/CoreAudio.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the simulated audio system starts from: its devices, defaults, applications, plug-in
// folder state, and a timeline of events and injected faults. Read from a JSON world file or
// taken from the built-in default world.
namespace sonarill::sim {

// The buffer frame sizes a simulated device accepts.
inline constexpr UInt32 kMinBufferFrameSize = 15;
inline constexpr UInt32 kMaxBufferFrameSize = 4096;

struct Device {
    AudioObjectID id = kAudioObjectUnknown; // 0: the simulation picks a free one
    std::string uid;
    std::string name;
    UInt32 transport = kAudioDeviceTransportTypeUnknown;
    UInt32 inputChannels = 0;
    UInt32 outputChannels = 0;
    UInt32 bufferFrameSize = 512;
    double ppm = 0.0; // clock rate offset from nominal, parts per million
};

enum class AppPolicy { regular, accessory, prohibited };

struct App {
    std::string bundleId;
    std::string name;
    AppPolicy policy = AppPolicy::regular;
    double toneHz = 0.0; // 0: the application plays nothing
    double level = 0.5;  // linear amplitude of its tone, 0 to 1
    std::string icon;    // an icon theme name or an image path; empty: none
};

struct PluginSettings {
    // true: the carried driver is installed at start; false: the folder starts without it;
    // absent: the folder is left as it is.
    std::optional<bool> installed;
    bool routeConfig = true; // whether the driver installed at start has 'snrc'
    double loadDelay = 1.0;  // seconds from a change of the plug-in folder to the device
};

// restart: the audio server restarts; every device comes back under a new ID after `seconds`,
// and until then the device list cannot be read.
enum class EventKind { unplug, plug, launch, quit, setDefaultOutput, hang, restart };

struct Event {
    double at = 0.0; // seconds from the start of the simulation
    EventKind kind = EventKind::unplug;
    std::string text;     // the UID (unplug, setDefaultOutput) or bundle identifier (quit)
    Device device;        // plug
    App app;              // launch
    double seconds = 0.0; // hang, restart
};

// The calls of the audio system that a fault can hit: the HAL's and the units'. The units'
// teardown (uninitialize, dispose) cannot fail, as on a Mac.
enum class AudioCall {
    hasProperty,
    isPropertySettable,
    getPropertyDataSize,
    getPropertyData,
    setPropertyData,
    addPropertyListener,
    removePropertyListener,
    audioComponentInstanceNew,
    audioUnitInitialize,
    audioUnitGetProperty,
    audioUnitSetProperty,
    audioUnitRender,
    audioOutputUnitStart,
    audioOutputUnitStop,
};

// "AudioObjectGetPropertyData" for AudioCall::getPropertyData, and back.
std::string_view audioCallName(AudioCall call);
std::optional<AudioCall> audioCallFromName(std::string_view name);

// A call that matches fails with `status` (AudioObjectHasProperty answers false) and/or first
// blocks the calling thread for `block`.
struct Fault {
    AudioCall call = AudioCall::getPropertyData;
    std::optional<std::string> uid; // only calls on this device (a unit's: its current device)
    std::optional<AudioObjectPropertySelector> selector; // HAL calls: only this property
    std::optional<AudioUnitPropertyID> property;         // unit calls: only this property
    std::optional<AudioUnitScope> scope;                 // and only on this scope
    std::optional<OSStatus> status;
    std::chrono::milliseconds block{0};
};

struct World {
    std::vector<Device> devices;
    std::optional<std::string> defaultOutput;       // absent: the first device with output
    std::optional<std::string> defaultSystemOutput; // absent: the default output
    std::vector<App> apps;
    PluginSettings plugin;
    std::string recordDir;
    std::vector<Event> events;
    std::vector<Fault> faults;
    // The default outputs and buffer frame sizes live in the simulated system's folder, shared
    // by every process. false: the world's own replace them at start, as the process that runs
    // the system; true: it joins a system another process runs. Those found there stay (a device
    // they name that this world lacks is no default), the world's fill in only when the folder
    // holds none, and of the defaults it tells the others only what it sets itself, not where
    // they move as its simulated devices come and go (the running process moves them).
    bool keepSystemState = false;
};

// The world used when SONARILL_SIM_WORLD names no file: a laptop with speakers, microphone, a
// USB headset, an HDMI display and a multi-output device, a few applications, and the plug-in
// not installed yet.
World defaultWorld();

// The world in a world file's text, or one line saying what is wrong and where. Text taken from
// the file appears escaped, so the line stays one line and reaches a terminal harmlessly.
base::Expected<World> parseWorld(std::string_view json);
// As parseWorld, for the file at `path`; a file larger than 16 MiB is refused unread.
base::Expected<World> readWorldFile(const std::filesystem::path& path);

// The world of this process: the file SONARILL_SIM_WORLD names, else the default world; or one
// line naming the file and what is wrong with it.
base::Expected<World> processWorld();

// 'usb ' -> "usb ", and back; nothing unless exactly four printable ASCII characters.
std::string fourCharText(UInt32 code);
std::optional<UInt32> fourCharCodeFromText(std::string_view text);

} // namespace sonarill::sim
