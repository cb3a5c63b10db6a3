#include "ui/RebuildGate.h"

namespace sonarill::ui {

struct RebuildGate::State {
    int holds = 0;
    std::function<void()> onOpen;
};

RebuildGate::Hold& RebuildGate::Hold::operator=(Hold&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

void RebuildGate::Hold::release() {
    const std::shared_ptr<State> state = std::move(state_);
    if (state && --state->holds == 0 && state->onOpen)
        state->onOpen();
}

RebuildGate::RebuildGate(std::function<void()> onOpen)
    : state_(std::make_shared<State>(State{0, std::move(onOpen)})) {}

RebuildGate::~RebuildGate() {
    // Holds kept by widgets that are destroyed after the gate's owner must not call back into it.
    state_->onOpen = nullptr;
}

RebuildGate::Hold RebuildGate::hold() {
    ++state_->holds;
    return Hold(state_);
}

bool RebuildGate::isHeld() const {
    return state_->holds > 0;
}

} // namespace sonarill::ui
