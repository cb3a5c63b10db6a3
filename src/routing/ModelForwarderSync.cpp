// Handing the active devices to the forwarder: one output route per device, its position its
// input bus.

#include "routing/AudioRoutingViewModel.h"

#include "forwarder/AudioForwarder.h"
#include "log/DebugLog.h"

namespace sonarill::routing {

using DebugLog::log;
using forwarder::formatShortestFloat;
using forwarder::quotedList;

bool AudioRoutingViewModel::syncForwarder() {
    const std::vector<AudioDevice> active = activeDevices();
    std::vector<forwarder::OutputRoute> routes;
    std::vector<std::string> deviceTexts;
    std::vector<std::string> routeTexts;
    for (size_t bus = 0; bus < active.size(); ++bus) {
        const AudioDevice& device = active[bus];
        routes.push_back({device.uid, static_cast<int64_t>(bus), device.masterVolume});
        deviceTexts.push_back(device.displayName() + "(" + device.uid + ")");
        routeTexts.push_back(device.uid + "@bus" + std::to_string(bus) +
                             " vol=" + formatShortestFloat(device.masterVolume));
    }
    log("syncForwarder: activeDevices=" + quotedList(deviceTexts));
    log("syncForwarder: routes=" + quotedList(routeTexts));
    const bool accepted = environment_.forwarder.setOutputRoutes(routes);
    if (!accepted)
        log("syncForwarder: ERROR failed to apply output routes");
    return accepted;
}

} // namespace sonarill::routing
