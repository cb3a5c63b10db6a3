#pragma once

#include "audio/AudioServerPlugInAPI.h"

#if defined(__APPLE__)
#include <mach/mach_time.h>
#else
#include <time.h>
#endif

// The host's clock, which the device's time stamps are given in: mach_absolute_time() on a Mac,
// CLOCK_MONOTONIC nanoseconds elsewhere (what the simulated audio server's host time is).
namespace sonarill::driver {

inline UInt64 hostTicksNow() noexcept {
#if defined(__APPLE__)
    return mach_absolute_time();
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return UInt64(now.tv_sec) * 1000000000ULL + UInt64(now.tv_nsec);
#endif
}

inline Float64 hostTicksPerSecond() noexcept {
#if defined(__APPLE__)
    mach_timebase_info_data_t base{};
    mach_timebase_info(&base);
    return 1.0e9 * Float64(base.denom) / Float64(base.numer);
#else
    return 1.0e9;
#endif
}

} // namespace sonarill::driver
