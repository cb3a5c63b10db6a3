#pragma once

#include "sim/World.h"

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// What the simulated HAL plug-in does with the routing text pushed on 'snrc': it reads the text
// with its own small reader (on purpose not the program's, so each checks the other) and mixes
// every running application's tone, at its route volume, onto the input pair of its device's
// bus on the virtual device's input side.
namespace sonarill::sim {

inline constexpr UInt32 kVirtualInputChannels = 16; // 8 stereo buses
inline constexpr UInt32 kVirtualInputBuses = kVirtualInputChannels / 2;
inline constexpr double kSampleRate = 48000.0;

// What the driver takes from the pushed text.
struct DriverRoute {
    std::string bundleId;
    std::string deviceUid;
    float volume = 1.0f; // 0 to 1
};
struct DriverRouting {
    std::vector<std::string> buses;  // UIDs of the active devices; bus k = buses[k]
    std::vector<DriverRoute> routes; // in text order
};

// Reads the "devices:" and "app_routes:" records of the configuration text. Never fails: a
// device record without "uid" or a route without "bundle_id" or "device_uid" is ignored, a
// missing "enabled" is true, a missing or unreadable "sort_order" is the record's position
// among the device records read, and a missing or unreadable "volume" is 1, clamped to 0..1.
// Double-quoted values take YAML's escapes, single-quoted ones YAML's doubled quote.
DriverRouting readDriverRouting(std::string_view text);

// Each running application whose bundle identifier has a route (the last one, when it has
// several) to an active device plays onto that device's bus (its first, when it is listed twice),
// at its level × the route's volume. Devices' "master_volume" is the forwarder's, not ours.
class DriverMix {
public:
    DriverMix();
    ~DriverMix();
    DriverMix(const DriverMix&) = delete;
    DriverMix& operator=(const DriverMix&) = delete;

    // The last text set on 'snrc', and the running applications. Any thread, not real-time:
    // each builds the table the real-time path reads and waits until no render uses the old.
    void setRouteText(std::string_view text);
    void setApps(const std::vector<App>& running);

    // Fills `frames` × 16 interleaved floats: the virtual device's input side for the frames
    // from the absolute sample time `sampleTime` (48 kHz) on. Real-time safe: it never
    // allocates, locks or waits, so any number of I/O threads may call it at once. The tone is
    // a function of the sample time alone, so the same time always gives the same samples.
    void render(double sampleTime, UInt32 frames, float* interleaved16) noexcept;

private:
    struct Voice;
    struct Table;
    void publish(); // builds a table from routing_ and apps_; with setMutex_ held

    std::mutex setMutex_; // orders the setters; the real-time path never takes it
    DriverRouting routing_;
    std::vector<App> apps_;

    // The table render reads. A setter swaps in a new one, then waits until `renders_` has been
    // 0 once before deleting the old: a render that began after the swap reads the new table.
    // Renders are microseconds long, so the wait is too; a count never reaching 0 would need
    // renders overlapping without pause.
    std::atomic<const Table*> table_;
    std::atomic<unsigned> renders_{0};
};

} // namespace sonarill::sim
