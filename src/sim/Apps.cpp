// The running applications: launched and quit by the timeline or the control API. Each plays
// its tone to the default output device: to the virtual device as a client of its driver, or
// straight to a physical device, which mixes it into its cycles (Units.cpp).

#include "sim/Io.h"
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

namespace {

// The applications that make a sound: those with a tone, each bundle identifier once.
std::vector<App> appsPlaying(const State& s) {
    std::vector<App> playing;
    for (const App& app : s.apps) {
        if (app.toneHz > 0.0 && std::none_of(playing.begin(), playing.end(), [&](const App& p) {
                return p.bundleId == app.bundleId;
            }))
            playing.push_back(app);
    }
    return playing;
}

} // namespace

void updateAppClients(State& s) {
    const DeviceState* output = findDevice(s, s.defaultOutput);
    const bool toDriver = output != nullptr && output->isVirtual;
    std::vector<App> playing = appsPlaying(s);
    if (s.plugInHost != nullptr)
        s.plugInHost->setClients(toDriver ? playing : std::vector<App>{});
    std::vector<io::Tone> tones;
    if (output != nullptr && !toDriver) {
        for (const App& app : playing)
            tones.push_back({app.toneHz, app.level});
    }
    const AudioObjectID device = tones.empty() ? kAudioObjectUnknown : output->device.id;
    io::appsOutputChanged(device, std::move(tones));
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
