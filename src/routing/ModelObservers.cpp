// Publishing the model's lists: observers registered, told before each change, and the calls
// made from inside one refused.

#include "routing/AudioRoutingViewModel.h"

#include "routing/ModelInternal.h"

namespace sonarill::routing {

AudioRoutingViewModel::Observation&
AudioRoutingViewModel::Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        cancel();
        list_ = std::move(other.list_);
        id_ = other.id_;
    }
    return *this;
}

void AudioRoutingViewModel::Observation::cancel() {
    if (const std::shared_ptr<ObserverList> list = list_.lock()) {
        const auto found = list->entries.find(id_);
        if (found != list->entries.end()) {
            found->second->active = false;
            list->entries.erase(found);
        }
    }
    list_.reset();
}

AudioRoutingViewModel::Observation
AudioRoutingViewModel::observeWillChange(std::function<void()> observer) {
    const uint64_t id = observers_->nextId++;
    observers_->entries.emplace(
        id, std::make_shared<ObserverList::Entry>(ObserverList::Entry{std::move(observer)}));
    return Observation(observers_, id);
}

void AudioRoutingViewModel::willChange() {
    if (observers_->entries.empty())
        return;
    std::vector<std::shared_ptr<ObserverList::Entry>> entries;
    for (const auto& [id, entry] : observers_->entries)
        entries.push_back(entry);
    observers_->notifying = true;
    for (const auto& entry : entries) {
        if (entry->active)
            entry->callback();
    }
    observers_->notifying = false;
}

bool AudioRoutingViewModel::isNotifying() const {
    return observers_->notifying;
}

void AudioRoutingViewModel::setAllDevices(std::vector<AudioDevice> devices) {
    willChange();
    allDevices_ = std::move(devices);
}

} // namespace sonarill::routing
