#pragma once

// Internal to the simulation: its I/O side. The HAL output units (AUHAL) and the clock that
// drives them, the virtual device's IO cycles through its driver, the physical devices' cycles
// (their output units and the applications that play straight to them), and what physical
// devices played. It keeps its own copy of the few device facts the units need, pushed by the
// device side, and its own lock: no unit call and nothing on the real-time path ever takes the HAL
// property lock or waits out a simulated hang.

#include "sim/AudioServerPlugIn.h"
#include "sim/AudioToolbox.h"
#include "sim/Control.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sonarill::sim::io {

// What a unit needs to know about a device.
struct IoDevice {
    AudioObjectID id = kAudioObjectUnknown;
    std::string uid;
    UInt32 inputChannels = 0;
    UInt32 outputChannels = 0;
    UInt32 bufferFrameSize = 512;
    double ppm = 0.0;
    bool isVirtual = false;
};

// Makes the I/O side's state. The HAL state calls it before it starts its threads, so that the
// I/O state, made first, is destroyed last as the process exits, after those threads have ended.
void prepare();
// Stops every unit and device cycle and waits for their threads: what the HAL state does as the
// process exits, once its own threads have ended and before the driver it hosts goes. The units
// stay, stopped, for their owners to dispose of.
void stopAll();

// Every unit is disposed of behind its owner's back (as when the audio server restarts), then
// the I/O side starts afresh on `clock`. Must not be called with the HAL lock held: it waits
// for callbacks in progress, which may be making HAL calls.
void reset(TimelineClock clock, const std::string& recordDir);

// The device side tells the I/O side about devices as they come, change and go. These may be
// called with the HAL lock held: they never wait for a callback.
void deviceAdded(const IoDevice& device);
void deviceRemoved(AudioObjectID id);
void bufferFrameSizeChanged(AudioObjectID id, UInt32 frames);
void clockChanged(AudioObjectID id, double ppm);
void faultsChanged(const std::vector<Fault>& faults); // also releases calls a fault blocks

// An application's sound: a tone at its level (linear amplitude, 0 to 1).
struct Tone {
    double hz = 0.0;
    double level = 0.0;
    bool operator==(const Tone&) const = default;
};

// The virtual device's IO (VirtualIO.cpp). The driver its cycles call: set once the audio
// server has loaded it; cleared before it is unloaded, returning once no cycle calls it.
struct VirtualDriver {
    AudioServerPlugInDriverRef driver = nullptr;
    AudioObjectID device = kAudioObjectUnknown;
    AudioStreamID input = kAudioObjectUnknown;
    AudioStreamID output = kAudioObjectUnknown;
    UInt32 inputChannels = 0;
};
void virtualDriverChanged(const VirtualDriver& driver);
// The applications playing into the virtual device, by the client IDs the driver knows them by.
struct VirtualClient {
    UInt32 id = 0;
    Tone tone;
};
void virtualClientsChanged(std::vector<VirtualClient> clients);
// Fills `frames` x `channels` interleaved floats with the virtual device's input from sample
// time `position` on and moves `position` past them. The device's cycles of `cycleFrames` frames
// that these frames need run first, each once whoever asks. A reader starts (position
// INT64_MIN), or starts again when it has fallen far behind, at the last cycle boundary the
// device has reached at `time` (timeline seconds).
void readVirtualInput(int64_t& position, double time, UInt32 cycleFrames, UInt32 frames,
                      UInt32 channels, float* interleaved);
// Runs ahead the cycles that a reader at `position` needs for its next `frames` frames, so that
// its next period does not wait for them.
void prepareVirtualInput(int64_t position, UInt32 cycleFrames, UInt32 frames);
// An application's tone: `frames` frames of interleaved stereo from the sample time on (48 kHz),
// a function of the sample time alone.
void writeTone(const Tone& tone, double sampleTime, UInt32 frames,
               float* interleavedStereo) noexcept;
// Adds each tone to `frames` frames of interleaved stereo, as a device mixes the applications
// that play to it; `scratch` holds `frames` stereo frames. Never allocates, locks or waits.
void addTones(std::span<const Tone> tones, double sampleTime, UInt32 frames, float* scratch,
              float* interleavedStereo) noexcept;

// The applications that play straight to a physical device (Units.cpp): `device`, the default
// output while that is not the virtual device, plays their tones in its cycles from its next
// one on, summed with what its output units play; kAudioObjectUnknown or no tones: no device
// does. May be called with the HAL lock held: it starts the device's cycles when they do not run
// and never waits; a device left with nothing to play stops at its next cycle.
void appsOutputChanged(AudioObjectID device, std::vector<Tone> tones);

// Manual clock. The time of the earliest period due of a running unit (infinity when none),
// and running, on the calling thread, every period due up to `time` in the documented order.
// Not to be called with the HAL lock held: callbacks run inside.
double nextPeriodTime();
void runPeriodsUntil(double time);

} // namespace sonarill::sim::io
