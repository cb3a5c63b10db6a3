#include "sim/Control.h"

#include "sim/Simulation.h"

namespace sonarill::sim {

namespace {
Simulation& simulation() {
    return Simulation::instance();
}
} // namespace

void startSimulation() {
    simulation().ensureStarted();
}

bool resetWorld(const World& world, TimelineClock clock) {
    return simulation().reset(world, clock);
}

std::vector<Device> devices() {
    return simulation().devices();
}
std::optional<AudioObjectID> addDevice(Device device) {
    return simulation().addDevice(std::move(device));
}
bool removeDevice(AudioObjectID id) {
    return simulation().removeDevice(id);
}
bool removeDeviceByUID(std::string_view uid) {
    return simulation().removeDeviceByUID(uid);
}

std::optional<std::string> defaultOutputUID() {
    return simulation().defaultUID(kAudioHardwarePropertyDefaultOutputDevice);
}
std::optional<std::string> defaultSystemOutputUID() {
    return simulation().defaultUID(kAudioHardwarePropertyDefaultSystemOutputDevice);
}
bool setDefaultOutput(std::string_view uid) {
    return simulation().setDefault(kAudioHardwarePropertyDefaultOutputDevice, uid);
}
bool setDefaultSystemOutput(std::string_view uid) {
    return simulation().setDefault(kAudioHardwarePropertyDefaultSystemOutputDevice, uid);
}

std::vector<App> runningApps() {
    return simulation().runningApps();
}
bool launchApp(const App& app) {
    return simulation().launchApp(app);
}
bool quitApp(std::string_view bundleId) {
    return simulation().quitApp(bundleId);
}
std::string recordDir() {
    return simulation().recordDir();
}

void injectFault(const Fault& fault) {
    simulation().injectFault(fault);
}
void clearFaults() {
    simulation().clearFaults();
}
void setCallHook(std::function<void(const CallInfo&)> hook) {
    simulation().setCallHook(std::move(hook));
}

std::optional<std::string> routeConfigText() {
    return simulation().routeConfigText();
}
double timelineSeconds() {
    return simulation().timelineSeconds();
}
void advanceTimeline(double seconds) {
    simulation().advanceTimeline(seconds);
}
void checkPluginFolder() {
    simulation().checkPluginFolder();
}
void waitForNotifications() {
    simulation().waitForNotifications();
}

} // namespace sonarill::sim
