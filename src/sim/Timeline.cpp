// The timeline and its clock: starting and resetting the simulated world, the world's events in
// time order, the audio server's restarts, and time itself, manual or real.
//
// On the manual clock, advanceTimeline walks time forward change by change: the world's changes
// due at an instant (events, a driver loading, the server coming back) happen first, then the
// units' I/O periods due at that instant (see Units.cpp for their order).

#include "sim/Io.h"
#include "sim/State.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>

namespace sonarill::sim {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr double kLoadedAtStart = -std::numeric_limits<double>::infinity();
constexpr double kNever = std::numeric_limits<double>::infinity();

std::optional<std::string> uidOf(const State& s, AudioObjectID id) {
    const DeviceState* device = findDevice(s, id);
    return device ? std::optional(device->device.uid) : std::nullopt;
}

// Every device goes; the physical ones come back under new IDs when the server is up again. A
// restart while one is under way starts the wait over and keeps what the first one set aside:
// those devices are no longer listed, so the list alone would lose them.
void beginRestart(State& s, double time, double seconds) {
    State::Restart restart = s.restart ? std::move(*s.restart) : State::Restart{};
    s.restart.reset();
    restart.until = time + seconds;
    if (!restart.defaultOutput)
        restart.defaultOutput = uidOf(s, s.defaultOutput);
    if (!restart.defaultSystemOutput)
        restart.defaultSystemOutput = uidOf(s, s.defaultSystemOutput);
    for (const AudioObjectID id : s.deviceOrder) {
        const DeviceState& device = s.devices.at(id);
        if (device.isVirtual)
            continue;
        restart.devices.push_back(device.device);
        restart.devices.back().id = kAudioObjectUnknown;
    }
    while (!s.deviceOrder.empty())
        removeDeviceLocked(s, s.deviceOrder.front());
    s.restart = std::move(restart);
}

void forgetSetAside(State::Restart& restart, std::string_view uid) {
    const auto found = std::find_if(restart.devices.begin(), restart.devices.end(),
                                    [&](const Device& device) { return device.uid == uid; });
    if (found != restart.devices.end())
        restart.devices.erase(found);
}

void endRestart(State& s) {
    State::Restart restart = std::move(*s.restart);
    s.restart.reset();
    for (Device& device : restart.devices)
        (void)addDeviceLocked(s, std::move(device));
    for (const auto& [which, uid] :
         {std::pair{kAudioHardwarePropertyDefaultOutputDevice, restart.defaultOutput},
          std::pair{kAudioHardwarePropertyDefaultSystemOutputDevice,
                    restart.defaultSystemOutput}}) {
        if (const DeviceState* device = uid ? findDeviceByUID(s, *uid, true) : nullptr)
            (void)setDefaultDevice(s, which, device->device.id);
    }
}

void applyEvent(State& s, const Event& event, double time) {
    switch (event.kind) {
    case EventKind::unplug:
        if (const DeviceState* device = findDeviceByUID(s, event.text, true))
            removeDeviceLocked(s, device->device.id);
        else if (s.restart) // unplugged while the server is down: it does not come back
            forgetSetAside(*s.restart, event.text);
        return;
    case EventKind::plug:
        (void)addDeviceLocked(s, event.device);
        return;
    case EventKind::launch:
        (void)launchAppLocked(s, event.app);
        return;
    case EventKind::quit:
        (void)quitAppLocked(s, event.text);
        return;
    case EventKind::setDefaultOutput:
        if (const DeviceState* device = findDeviceByUID(s, event.text, false))
            (void)setDefaultDevice(s, kAudioHardwarePropertyDefaultOutputDevice, device->device.id);
        return;
    case EventKind::hang:
        s.hangUntil = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                               std::chrono::duration<double>(event.seconds));
        return;
    case EventKind::restart:
        beginRestart(s, time, event.seconds);
        return;
    }
}

// Everything in the world that falls due at or before `time`.
void applyDueChanges(State& s, double time) {
    pullSharedSystem(s);
    while (s.nextEvent < s.events.size() && s.events[s.nextEvent].at <= time) {
        const Event& event = s.events[s.nextEvent++];
        applyEvent(s, event, event.at);
    }
    if (s.restart && s.restart->until <= time)
        endRestart(s);
    updateVirtualDevice(s, time);
}

double nextChange(const State& s) {
    const double event = s.nextEvent < s.events.size() ? s.events[s.nextEvent].at : kNever;
    const double restart = s.restart ? s.restart->until : kNever;
    return std::min({event, restart, nextPluginLoadTime(s)});
}

std::set<AudioObjectID> namedIDs(const World& world) {
    // The IDs the world names are its devices' own, including those it plugs later.
    std::set<AudioObjectID> named;
    for (const Device& device : world.devices)
        named.insert(device.id);
    for (const Event& event : world.events) {
        if (event.kind == EventKind::plug)
            named.insert(event.device.id);
    }
    named.erase(kAudioObjectUnknown);
    return named;
}

// The world as a second program on a system that runs already sees it: the plug-in folder, the
// defaults and the buffer frame sizes are the system's, and the world's timeline belongs to the
// program that started the system; only its hangs stay, which touch this process alone.
World joining(World world) {
    world.plugin.installed.reset();
    world.keepSystemState = true;
    world.recordDir.clear();
    std::erase_if(world.events, [](const Event& event) { return event.kind != EventKind::hang; });
    return world;
}

void startWithProcessWorld(bool join) {
    base::Expected<World> world = processWorld();
    if (world && join)
        world = joining(std::move(*world));
    if (!world) {
        std::fprintf(stderr, "sonarill-sim: %s\n", world.error().c_str());
        std::fflush(stderr);
        // Other threads may be inside the simulation: leave without running destructors.
        std::_Exit(EXIT_FAILURE);
    }
    if (const auto reset = resetWorld(*world, TimelineClock::realTime); !reset) {
        std::fprintf(stderr, "sonarill-sim: %s\n", reset.error().c_str());
        std::fflush(stderr);
    }
}

} // namespace

State::State() {
    io::prepare();
    notifier = std::thread([this] { deliverNotifications(*this); });
    poller = std::thread([this] { pollTimeline(*this); });
}

State::~State() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    notifier.join();
    poller.join();
    io::stopAll();
}

State& stateUnstarted() {
    static State instance;
    return instance;
}

State& state() {
    State& s = stateUnstarted();
    if (!s.started.load(std::memory_order_acquire)) {
        std::call_once(s.processStart, [&] {
            if (!s.started.load(std::memory_order_acquire))
                startWithProcessWorld(false);
        });
    }
    return s;
}

double now(const State& s) {
    if (s.clock == TimelineClock::manual)
        return s.manualNow;
    return std::chrono::duration<double>(SteadyClock::now() - s.start).count();
}

void pollTimeline(State& s) {
    Lock lock(s.mutex);
    while (!s.stopping) {
        s.wake.wait_for(lock, kPollInterval, [&] { return s.stopping; });
        if (s.stopping || !s.started.load() || s.clock == TimelineClock::manual)
            continue;
        lock.unlock();
        scanPluginFolder(s);
        lock.lock();
        if (s.clock == TimelineClock::realTime)
            applyDueChanges(s, now(s));
    }
}

// MARK: Control

void startSimulation() {
    (void)state();
}

void joinSimulation() {
    State& s = stateUnstarted();
    std::call_once(s.processStart, [&] {
        if (!s.started.load(std::memory_order_acquire))
            startWithProcessWorld(true);
    });
}

base::Expected<void> resetWorld(const World& world, TimelineClock clock) {
    State& s = stateUnstarted();
    const std::filesystem::path folder = halPluginFolder();
    base::Expected<void> prepared = preparePluginFolder(folder, world.plugin);
    PluginFolderReading reading = readPluginFolder(folder);
    {
        Lock lock(s.mutex);
        // Release blocked calls and drop what could block new ones before waiting for a
        // listener call in progress: that listener may be making such a call.
        ++s.generation;
        s.faults.clear();
        s.hangUntil = {};
        s.hook = nullptr;
        s.listeners.clear();
        s.queue.clear();
        s.wake.notify_all();
        if (s.listenerInCall != 0)
            waitForListenerCall(s, lock, s.listenerInCall);
    }
    // Units go first, without the lock: their callbacks may be making HAL calls.
    io::reset(clock, world.recordDir);

    Lock lock(s.mutex);
    openSharedSystem(s, folder.parent_path());
    s.shared.quiet = true; // the world is put together first, then published or joined
    s.shared.joined = world.keepSystemState;
    // The world's applications start playing once its devices and defaults are in place, not
    // on each device as it is added.
    s.apps.clear();
    clearDevices(s);
    if (!world.keepSystemState)
        forgetPlugInStorage(folder); // a new machine: no driver has kept anything yet
    s.restart.reset();
    s.objectIDs.restart(namedIDs(world));
    for (const Device& device : world.devices)
        (void)addDeviceLocked(s, device);
    // The first output device became the default while adding; the world may name another.
    const auto outputWithUID = [&](const std::optional<std::string>& uid) {
        const DeviceState* device = uid ? findDeviceByUID(s, *uid, false) : nullptr;
        return device && device->outputStream != kAudioObjectUnknown ? device->device.id
                                                                     : firstOutputDevice(s);
    };
    s.defaultOutput = outputWithUID(world.defaultOutput);
    s.defaultSystemOutput =
        outputWithUID(world.defaultSystemOutput ? world.defaultSystemOutput : world.defaultOutput);
    s.apps = world.apps;
    s.recordDir = world.recordDir;
    s.faults = world.faults;
    io::faultsChanged(s.faults);
    s.clock = clock;
    s.start = SteadyClock::now();
    s.manualNow = 0.0;
    s.events = world.events;
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const Event& a, const Event& b) { return a.at < b.at; });
    s.nextEvent = 0;
    // A driver already in the folder was loaded when the audio server started.
    s.plugin = {folder, std::move(reading.fingerprint), std::move(reading.bundle), kLoadedAtStart,
                world.plugin.loadDelay};
    updateVirtualDevice(s, 0.0);
    s.shared.quiet = false;
    if (world.keepSystemState)
        pullSharedSystem(s);
    else
        publishWholeSystem(s);
    updateAppClients(s);
    s.queue.clear(); // nobody listens to a world that was just made
    s.started.store(true, std::memory_order_release);
    s.wake.notify_all();
    return prepared;
}

double timelineSeconds() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return now(s);
}

void advanceTimeline(double seconds) {
    State& s = state();
    scanPluginFolder(s);
    Lock lock(s.mutex);
    if (s.clock != TimelineClock::manual || !(seconds >= 0.0))
        return;
    const double target = s.manualNow + seconds;
    for (double next = nextChange(s); next <= target; next = nextChange(s)) {
        // The periods before the change, without the lock: callbacks may make HAL calls.
        lock.unlock();
        io::runPeriodsUntil(std::nextafter(next, -kNever));
        lock.lock();
        s.manualNow = std::max(s.manualNow, next);
        applyDueChanges(s, s.manualNow);
    }
    s.manualNow = target;
    applyDueChanges(s, target);
    lock.unlock();
    io::runPeriodsUntil(target);
}

} // namespace sonarill::sim
