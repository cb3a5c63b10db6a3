// The running applications: launched and quit by the timeline or the control API. Each plays
// its tone to the default output device.

#include "sim/PlugInHost.h"
#include "sim/State.h"

#include <algorithm>

namespace sonarill::sim {

base::Expected<void> launchAppLocked(State& s, const App& app) {
    if (app.bundleId.empty())
        return base::Failure{"an application needs a bundle identifier"};
    if (std::any_of(s.apps.begin(), s.apps.end(),
                    [&](const App& running) { return running.bundleId == app.bundleId; }))
        return base::Failure{app.bundleId + " runs already"};
    s.apps.push_back(app);
    updateAppClients(s);
    return {};
}

base::Expected<void> quitAppLocked(State& s, std::string_view bundleId) {
    const auto found = std::find_if(s.apps.begin(), s.apps.end(),
                                    [&](const App& app) { return app.bundleId == bundleId; });
    if (found == s.apps.end())
        return base::Failure{std::string(bundleId) + " does not run"};
    s.apps.erase(found);
    updateAppClients(s);
    return {};
}

void updateAppClients(State& s) {
    if (s.plugInHost == nullptr)
        return;
    const DeviceState* output = findDevice(s, s.defaultOutput);
    s.plugInHost->setClients(output != nullptr && output->isVirtual ? s.apps : std::vector<App>{});
}

// MARK: Control

std::vector<App> runningApps() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.apps;
}

base::Expected<void> launchApp(const App& app) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return launchAppLocked(s, app);
}

base::Expected<void> quitApp(std::string_view bundleId) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return quitAppLocked(s, bundleId);
}

std::string recordDir() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.recordDir;
}

} // namespace sonarill::sim
