#pragma once

#include "guard/OutputStateFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// What the application tells its guard over the pipe: one JSON object per line.
namespace sonarill::guard {

// The original default outputs recorded at launch; a later one replaces an earlier.
struct OutputsMessage {
    RecordedOutputs outputs;
    bool operator==(const OutputsMessage&) const = default;
};

// The forwarder recorded a device's buffer frame size to give back (originalSize) or dropped
// that record (nothing).
struct FrameSizeMessage {
    std::string uid;
    std::optional<uint32_t> originalSize;
    bool operator==(const FrameSizeMessage&) const = default;
};

// The application quits in order and gives everything back itself.
struct QuitMessage {
    bool operator==(const QuitMessage&) const = default;
};

using Message = std::variant<OutputsMessage, FrameSizeMessage, QuitMessage>;

// One line, line feed included.
std::string encodeMessage(const Message& message);
// Nothing for a line that is not a message (the line feed may be there or not).
std::optional<Message> decodeMessage(std::string_view line);

} // namespace sonarill::guard
