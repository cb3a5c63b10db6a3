#include "platform/MainQueue.h"

namespace sonarill::platform {

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        cancel();
        cancelled_ = std::move(other.cancelled_);
    }
    return *this;
}

void Timer::cancel() {
    if (cancelled_)
        cancelled_->store(true);
}

} // namespace sonarill::platform
