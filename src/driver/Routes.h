#pragma once

#include "base/Expected.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What the driver takes from the configuration text pushed on 'snrc': which input bus each route
// key plays on and at what gain. Built on the control thread; the IO path never sees it.
namespace sonarill::driver {

inline constexpr uint32_t kBuses = 8; // input channel pairs: bus k is channels 2k and 2k+1

// Where one client's sound goes. The default is where an application without a usable route
// plays: an application started between two refreshes of the model is heard, not lost.
struct Placement {
    uint32_t bus = 0;
    float gain = 1.0f;
};

class RouteTable {
public:
    // Fails, changing nothing, for a text the configuration reader refuses. The active devices
    // are the enabled device records in ascending "sort_order", ties in text order; a device
    // listed twice keeps its first place. Of several routes for one key the last counts.
    static base::Expected<RouteTable> fromText(std::string_view text);

    // By route key (routing::routeKey of a client's bundle identifier, as the model keys
    // routes). A route to a device that is not active, or beyond the last bus, plays at the
    // default placement.
    Placement placementOf(const std::string& routeKey) const;

    const std::vector<std::string>& buses() const { return buses_; }

private:
    std::vector<std::string> buses_; // UIDs of the active devices that have a bus
    std::unordered_map<std::string, Placement> byRouteKey_;
};

} // namespace sonarill::driver
