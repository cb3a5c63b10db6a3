#pragma once

// Internal to the simulation: its I/O side. The HAL output units (AUHAL) and the clock that
// drives them, the driver's mix on the virtual device's input side, and what physical devices
// played. It keeps its own copy of the few device facts the units need, pushed by the device
// side, and its own lock: no unit call and nothing on the real-time path ever takes the HAL
// property lock or waits out a simulated hang.

#include "sim/AudioToolbox.h"
#include "sim/Control.h"

#include <optional>
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

// The driver's inputs: the text last set on 'snrc' and the running applications.
void routeConfigChanged(const std::optional<std::string>& text);
void appsChanged(const std::vector<App>& apps);

// Manual clock. The time of the earliest period due of a running unit (infinity when none),
// and running, on the calling thread, every period due up to `time` in the documented order.
// Not to be called with the HAL lock held: callbacks run inside.
double nextPeriodTime();
void runPeriodsUntil(double time);

} // namespace sonarill::sim::io
