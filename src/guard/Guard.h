#pragma once

#include "guard/Messages.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The guard: a small process the application starts at launch that outlives it. It keeps what the
// application tells it it changed, and when the application's end of the pipe closes without the
// quit message (a crash, SIGKILL, a power cut of the application alone) it gives the default
// outputs and the buffer frame sizes back, so that the machine is never left silent. Every log
// line it writes begins with "guard: ".
namespace sonarill::guard {

class Guard {
public:
    void take(const Message& message);
    bool hasQuit() const { return hasQuit_; }

    // The application is gone without quitting. The default output and the default system output
    // go back to the recorded devices where the virtual device still holds them (an output the
    // user picked meanwhile stays), and every recorded buffer frame size is given back.
    void giveBack() const;

    const std::optional<RecordedOutputs>& outputs() const { return outputs_; }
    const std::map<std::string, uint32_t>& frameSizes() const { return frameSizes_; }

private:
    std::optional<RecordedOutputs> outputs_;
    std::map<std::string, uint32_t> frameSizes_;
    bool hasQuit_ = false;
};

// The guard process's life: reads messages from `input` until the quit message, after which it
// returns at once, or until the end of the input (or a read error), after which it gives
// everything back. Lines that are not messages, and lines longer than 64 KiB, are skipped.
void runGuard(int input);

} // namespace sonarill::guard
