#include "driver/Routes.h"

#include "routing/ConfigText.h"
#include "routing/RouteKeys.h"

#include <algorithm>

namespace sonarill::driver {

namespace {
// 0 to 1; a volume that is not a number is silence rather than noise.
float limitedGain(float volume) {
    return volume >= 0.0f ? std::min(volume, 1.0f) : 0.0f;
}
} // namespace

base::Expected<RouteTable> RouteTable::fromText(std::string_view text) {
    auto config = routing::decodePersistedConfig(text);
    if (!config)
        return base::Failure{config.error()};

    std::vector<const routing::PersistedDevice*> active;
    for (const routing::PersistedDevice& device : config->devices)
        if (device.enabled)
            active.push_back(&device);
    std::stable_sort(active.begin(), active.end(),
                     [](const auto* a, const auto* b) { return a->sortOrder < b->sortOrder; });

    RouteTable table;
    for (const routing::PersistedDevice* device : active) {
        if (table.buses_.size() == kBuses)
            break;
        if (std::find(table.buses_.begin(), table.buses_.end(), device->uid) == table.buses_.end())
            table.buses_.push_back(device->uid);
    }
    for (const routing::PersistedAppRoute& route : config->appRoutes) {
        const auto bus = std::find(table.buses_.begin(), table.buses_.end(), route.deviceUid);
        if (bus == table.buses_.end()) {
            // A later route to an inactive device still replaces an earlier one.
            table.byRouteKey_.erase(routing::routeKey(route.bundleId));
            continue;
        }
        table.byRouteKey_[routing::routeKey(route.bundleId)] = {
            uint32_t(bus - table.buses_.begin()), limitedGain(route.volume)};
    }
    return table;
}

Placement RouteTable::placementOf(const std::string& routeKey) const {
    const auto found = byRouteKey_.find(routeKey);
    return found == byRouteKey_.end() ? Placement{} : found->second;
}

} // namespace sonarill::driver
