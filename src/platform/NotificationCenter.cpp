#include "platform/NotificationCenter.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace sonarill::platform {

struct NotificationCenter::Entry {
    std::string name;
    std::function<void()> callback;
    // Held while the callback runs. Recursive, so that a callback may post the same name again
    // or remove its own observer; removal from another thread waits on it for a running call.
    std::recursive_mutex calling;
    bool removed = false; // guarded by `calling`
};

struct NotificationCenter::State {
    std::mutex mutex;
    std::map<std::string, std::vector<std::shared_ptr<Entry>>, std::less<>> observers;
};

NotificationCenter::Observer::Observer(std::weak_ptr<State> state, std::shared_ptr<Entry> entry)
    : state_(std::move(state)), entry_(std::move(entry)) {}

NotificationCenter::Observer& NotificationCenter::Observer::operator=(Observer&& other) noexcept {
    if (this != &other) {
        remove();
        state_ = std::move(other.state_);
        entry_ = std::move(other.entry_);
    }
    return *this;
}

void NotificationCenter::Observer::remove() {
    if (!entry_)
        return;
    if (const std::shared_ptr<State> state = state_.lock()) {
        const std::lock_guard lock(state->mutex);
        const auto found = state->observers.find(entry_->name);
        if (found != state->observers.end()) {
            std::erase(found->second, entry_);
            if (found->second.empty())
                state->observers.erase(found);
        }
    }
    {
        // Waits for a call running on another thread; a post that already took this entry
        // sees the flag and skips it.
        const std::lock_guard lock(entry_->calling);
        entry_->removed = true;
    }
    entry_.reset();
    state_.reset();
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers held by static objects may go after it at exit.
    static NotificationCenter* const center = new NotificationCenter;
    return *center;
}

NotificationCenter::Observer NotificationCenter::observe(std::string name,
                                                         std::function<void()> callback) {
    auto entry = std::make_shared<Entry>();
    entry->name = std::move(name);
    entry->callback = std::move(callback);
    const std::lock_guard lock(state_->mutex);
    state_->observers[entry->name].push_back(entry);
    return Observer(state_, std::move(entry));
}

void NotificationCenter::post(std::string_view name) {
    std::vector<std::shared_ptr<Entry>> receivers;
    {
        const std::lock_guard lock(state_->mutex);
        const auto found = state_->observers.find(name);
        if (found == state_->observers.end())
            return;
        receivers = found->second;
    }
    // Outside the centre's lock: callbacks may observe, remove and post.
    for (const auto& entry : receivers) {
        const std::lock_guard lock(entry->calling);
        if (!entry->removed)
            entry->callback();
    }
}

} // namespace sonarill::platform
