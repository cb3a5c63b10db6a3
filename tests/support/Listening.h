#pragma once

#include "sim/CoreAudio.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// What tests use to set the simulated driver's mix up and to listen to what devices play.
namespace sonarill::testing {

// The configuration text as the driver reads it: `devices` enabled in bus order, each app routed
// to its device at volume 1.
std::string routeText(const std::vector<std::string>& devices,
                      const std::vector<std::pair<std::string, std::string>>& appToDevice);
// Sets it on the virtual device's 'snrc'.
void pushRouteText(const std::string& text);

// The amplitude of the sine at `hz` in one channel of interleaved stereo at 48 kHz (Goertzel).
double amplitudeAt(const std::vector<float>& stereo, int channel, double hz);

AudioObjectID deviceID(const std::string& uid);
UInt32 bufferFrameSize(const std::string& uid);

} // namespace sonarill::testing
