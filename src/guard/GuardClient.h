#pragma once

#include "base/Expected.h"
#include "guard/Messages.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/types.h>

// The application's side of the guard (guard/Guard.h). Main thread only.
//
// The application starts the guard at launch, tells it the original default outputs it recorded
// (recordOutputs) and every buffer frame size record the forwarder makes or drops
// (recordFrameSize: hand it to AudioForwarder::setFrameSizeRecordObserver), and calls quit() at
// the end of an orderly quit, after its own restore. If the application dies instead, its end of
// the pipe closes without the quit message and the guard gives everything back by itself.
namespace sonarill::guard {

class GuardClient {
public:
    GuardClient() = default;
    // Closes the pipe: without quit() first, the guard takes it as the application's death.
    ~GuardClient();
    GuardClient(const GuardClient&) = delete;
    GuardClient& operator=(const GuardClient&) = delete;

    // "sonarill-guard" in the folder of the running executable, where the build puts it beside
    // the application.
    static std::optional<std::filesystem::path> defaultProgram();

    // Starts `program` in a session of its own, so that it outlives a SIGKILL of the application
    // and of its process group, with default signal handling, an empty signal mask, the pipe (a
    // connected socket pair: writing to a guard that died fails instead of raising SIGPIPE) as
    // its standard input, the application's standard output and error, and no other descriptor.
    // Fails, saying why, when it is started already or cannot be started; it is logged too.
    base::Expected<void> start(const std::filesystem::path& program);
    bool isStarted() const { return socket_ >= 0; }
    pid_t pid() const { return child_; }
    // The application's end of the pipe while started. The guard never writes to it: it becomes
    // readable when the guard is gone.
    int descriptor() const { return socket_; }

    // Each is one message; nothing happens when the guard is not started. A guard that cannot be
    // reached any more is logged once and forgotten.
    void recordOutputs(const RecordedOutputs& outputs);
    void recordFrameSize(const std::string& uid, std::optional<uint32_t> originalSize);
    // Sends the quit message and closes the pipe; the guard exits without changing anything.
    void quit();
    // Closes the pipe without the quit message, as the application's death would.
    void closeWithoutQuit();

    // The guard's exit status once it has exited, waiting up to `timeout`; nothing when it still
    // runs, was never started, or did not exit normally.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

private:
    void send(const Message& message);

    int socket_ = -1;
    pid_t child_ = -1;
};

} // namespace sonarill::guard
