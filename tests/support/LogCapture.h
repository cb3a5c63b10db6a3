#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sonarill::testing {

// The messages logged since construction, without their "[time] [File:line] " prefix.
struct LogCapture {
    LogCapture();
    std::vector<std::string> messages() const;
    bool contains(const std::string& message) const;
    size_t start;
};

} // namespace sonarill::testing
