#pragma once

#include "sim/CoreAudio.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <set>

namespace sonarill::sim {

// Object IDs for devices and streams. No ID is handed out twice: they are handed out upwards
// from just above the highest named ID, then once round from the lowest, and then there are
// none left. Named IDs (those a world gives its devices, including devices it plugs later, and
// those callers choose) are never handed out, so a device plugged later still gets its own.
class ObjectIDAllocator {
public:
    // 0 and 1 are "unknown" and the system object.
    explicit ObjectIDAllocator(AudioObjectID first = 2,
                               AudioObjectID last = std::numeric_limits<AudioObjectID>::max());

    // Forgets what was handed out and starts over with these IDs named.
    void restart(std::set<AudioObjectID> named);
    void name(AudioObjectID id);
    // Nothing once every ID has been handed out or named.
    std::optional<AudioObjectID> next();

private:
    uint64_t count() const { return uint64_t(last_) - first_ + 1; }

    AudioObjectID first_;
    AudioObjectID last_;
    uint64_t start_ = 0;     // offset from first_ of the first ID to hand out
    uint64_t handedOut_ = 0; // IDs stepped over since, named ones included
    std::set<AudioObjectID> named_;
};

} // namespace sonarill::sim
