#pragma once

#include "audio/CoreAudioAPI.h"

#include <optional>
#include <string>

// The system's default output devices as the application shell sees them: recorded at launch
// before the routing model takes the output over, and given back at quit.
namespace sonarill::app {

inline constexpr double kAudioQueryTimeoutSeconds = 2.0;

// Direct questions to the audio system; they block as long as it takes. `which` is
// kAudioHardwarePropertyDefaultOutputDevice or kAudioHardwarePropertyDefaultSystemOutputDevice.
std::optional<std::string> defaultDeviceUIDBlocking(AudioObjectPropertySelector which);
std::optional<std::string> currentDefaultOutputUIDBlocking();
std::optional<AudioObjectID> findDeviceIDBlocking(const std::string& uid);

// The same, bounded by `timeoutSeconds`; each logs when it comes back empty.
std::optional<std::string> currentDefaultOutputUID(double timeoutSeconds);
std::optional<std::string> currentDefaultSystemOutputUID(double timeoutSeconds);
std::optional<AudioObjectID> findDeviceID(const std::string& uid, double timeoutSeconds);

// Gives the default output and the default system (alert-sound) output back, each to the device
// recorded for it at launch (the alert sounds to the default output's when theirs was not
// recorded), where the virtual device still holds them. Logs what it did. False when the virtual
// device may still hold one of them: a query timed out, a write failed or there was no usable
// record.
bool restoreDefaultOutput(const std::optional<std::string>& originalDefaultOutputUID,
                          const std::optional<std::string>& originalSystemOutputUID = std::nullopt);

} // namespace sonarill::app
