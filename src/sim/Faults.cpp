// Injected faults, hangs of the audio server, and the call hook: what a HAL call meets before it
// touches any state.

#include "sim/Io.h"
#include "sim/State.h"

namespace sonarill::sim {

namespace {

std::optional<Fault> matchingFault(const State& s, AudioCall call, AudioObjectID object,
                                   AudioObjectPropertySelector selector) {
    for (const Fault& fault : s.faults) {
        if (fault.call != call || (fault.selector && *fault.selector != selector))
            continue;
        if (fault.uid) {
            const DeviceState* device = findDevice(s, object);
            if (device == nullptr || device->device.uid != *fault.uid)
                continue;
        }
        return fault;
    }
    return std::nullopt;
}

} // namespace

std::optional<OSStatus> enterCall(AudioCall call, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address) {
    State& s = state();
    std::function<void(const CallInfo&)> hook;
    {
        std::lock_guard lock(s.mutex);
        hook = s.hook;
    }
    if (hook)
        hook(CallInfo{call, object, address});

    Lock lock(s.mutex);
    const uint64_t generation = s.generation;
    const auto released = [&] { return s.generation != generation || s.stopping; };
    while (SteadyClock::now() < s.hangUntil && !released())
        s.wake.wait_until(lock, s.hangUntil);
    const auto fault = matchingFault(s, call, object, address.mSelector);
    if (!fault)
        return std::nullopt;
    if (fault->block.count() > 0)
        s.wake.wait_for(lock, fault->block, released);
    return fault->status;
}

// MARK: Control

void injectFault(const Fault& fault) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults.push_back(fault);
    io::faultsChanged(s.faults);
}

void clearFaults() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults.clear();
    s.hangUntil = {};
    ++s.generation;
    io::faultsChanged(s.faults);
    s.wake.notify_all();
}

void setCallHook(std::function<void(const CallInfo&)> hook) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.hook = std::move(hook);
}

} // namespace sonarill::sim
