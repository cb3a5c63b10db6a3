#include "sim/ObjectIDAllocator.h"

#include <iterator>

namespace sonarill::sim {

ObjectIDAllocator::ObjectIDAllocator(AudioObjectID first, AudioObjectID last)
    : first_(first), last_(last) {}

void ObjectIDAllocator::restart(std::set<AudioObjectID> named) {
    named_ = std::move(named);
    handedOut_ = 0;
    start_ = 0;
    const auto aboveRange = named_.upper_bound(last_);
    if (aboveRange != named_.begin() && *std::prev(aboveRange) >= first_)
        start_ = (uint64_t(*std::prev(aboveRange)) + 1 - first_) % count();
}

void ObjectIDAllocator::name(AudioObjectID id) {
    named_.insert(id);
}

std::optional<AudioObjectID> ObjectIDAllocator::next() {
    while (handedOut_ < count()) {
        const auto id = static_cast<AudioObjectID>(first_ + (start_ + handedOut_++) % count());
        if (named_.count(id) == 0)
            return id;
    }
    return std::nullopt;
}

} // namespace sonarill::sim
