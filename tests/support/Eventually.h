#pragma once

#include <chrono>
#include <thread>

namespace sonarill::testing {

// Asks `condition` every millisecond until it holds or `timeout` has passed; whether it held.
// For what another thread or process does in its own time.
template <typename Condition>
bool eventually(Condition condition, std::chrono::steady_clock::duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace sonarill::testing
