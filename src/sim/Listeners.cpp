// Property listeners: changes are queued under the lock and announced, one at a time, on the
// simulation's listener thread, as the HAL calls listeners on a thread of its own.

#include "sim/State.h"

#include <algorithm>

namespace sonarill::sim {

namespace {

bool matches(const AudioObjectPropertyAddress& wanted, AudioObjectPropertySelector selector) {
    // Changes are announced on the global scope and main element.
    return (wanted.mSelector == selector ||
            wanted.mSelector == kAudioObjectPropertySelectorWildcard) &&
           (wanted.mScope == kAudioObjectPropertyScopeGlobal ||
            wanted.mScope == kAudioObjectPropertyScopeWildcard) &&
           (wanted.mElement == kAudioObjectPropertyElementMain ||
            wanted.mElement == kAudioObjectPropertyElementWildcard);
}

} // namespace

void notify(State& s, AudioObjectID object, AudioObjectPropertySelector selector) {
    s.queue.push_back({object, selector});
    s.wake.notify_all();
}

void waitForListenerCall(State& s, Lock& lock, uint64_t listenerID) {
    if (std::this_thread::get_id() == s.notifierThread)
        return; // removed from inside a listener: waiting would never end
    s.wake.wait(lock, [&] { return s.listenerInCall != listenerID || s.stopping; });
}

void deliverNotifications(State& s) {
    Lock lock(s.mutex);
    s.notifierThread = std::this_thread::get_id();
    while (true) {
        s.wake.wait(lock, [&] { return s.stopping || !s.queue.empty(); });
        if (s.stopping)
            return;
        const Notification notification = s.queue.front();
        s.queue.pop_front();
        s.delivering = true;
        std::vector<uint64_t> due;
        for (const Listener& listener : s.listeners) {
            if (listener.object == notification.object &&
                matches(listener.address, notification.selector))
                due.push_back(listener.id);
        }
        for (const uint64_t id : due) {
            const auto found = std::find_if(s.listeners.begin(), s.listeners.end(),
                                            [&](const Listener& l) { return l.id == id; });
            if (found == s.listeners.end())
                continue; // removed by an earlier listener of this change
            const Listener listener = *found;
            s.listenerInCall = id;
            lock.unlock();
            const AudioObjectPropertyAddress changed{notification.selector,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            listener.proc(notification.object, 1, &changed, listener.clientData);
            lock.lock();
            s.listenerInCall = 0;
            s.wake.notify_all();
        }
        s.delivering = false;
        s.wake.notify_all();
    }
}

// MARK: Control

void waitForNotifications() {
    State& s = state();
    Lock lock(s.mutex);
    if (std::this_thread::get_id() == s.notifierThread)
        return;
    s.wake.wait(lock, [&] { return (s.queue.empty() && !s.delivering) || s.stopping; });
}

} // namespace sonarill::sim
