#include "guard/GuardClient.h"

#include "log/DebugLog.h"
#include "platform/Paths.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sonarill::guard {

namespace {

using DebugLog::log;

// A guard that died must not take the application with it through SIGPIPE.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0; // SO_NOSIGPIPE is set on the socket instead
#endif

std::string errorText(int error) {
    return std::strerror(error);
}

// Both ends close on exec: a program another thread starts meanwhile must not keep the pipe open,
// or the guard would never see its end.
bool openSocketPair(int ends[2]) {
#if defined(SOCK_CLOEXEC)
    constexpr int kType = SOCK_STREAM | SOCK_CLOEXEC; // no moment without it
#else
    constexpr int kType = SOCK_STREAM;
#endif
    if (::socketpair(AF_UNIX, kType, 0, ends) != 0)
        return false;
    for (int i = 0; i < 2; ++i)
        ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    ::setsockopt(ends[0], SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return true;
}

// The attributes and file actions of the guard's start; destroyed with it.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;

    explicit SpawnSetup(int guardEnd) {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
        short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        sigset_t everySignal, none;
        sigfillset(&everySignal);
        sigdelset(&everySignal, SIGKILL);
        sigdelset(&everySignal, SIGSTOP);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &everySignal);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawn_file_actions_adddup2(&actions, guardEnd, STDIN_FILENO);
#if defined(__APPLE__)
        flags |= POSIX_SPAWN_CLOEXEC_DEFAULT; // every descriptor closes but those named here
        posix_spawn_file_actions_addinherit_np(&actions, STDOUT_FILENO);
        posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
#else
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
        posix_spawnattr_setflags(&attributes, flags);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

GuardClient::~GuardClient() {
    closeWithoutQuit();
    if (child_ > 0)
        (void)waitForExit(std::chrono::milliseconds(0)); // reaped now if it is done
}

std::optional<std::filesystem::path> GuardClient::defaultProgram() {
    const auto folder = platform::executableFolder();
    if (!folder)
        return std::nullopt;
    return *folder / "sonarill-guard";
}

base::Expected<void> GuardClient::start(const std::filesystem::path& program) {
    if (isStarted())
        return base::Failure{"the guard runs already"};
    const auto fail = [&](const std::string& why) {
        log("startGuard: ERROR cannot start " + program.string() + ": " + why);
        return base::Failure{why};
    };
    int ends[2];
    if (!openSocketPair(ends))
        return fail("cannot create a pipe: " + errorText(errno));
    std::string path = program.string();
    std::vector<char*> arguments{path.data(), nullptr};
    pid_t child = -1;
    int error = 0;
    {
        const SpawnSetup setup(ends[1]);
        error = posix_spawn(&child, path.c_str(), &setup.actions, &setup.attributes,
                            arguments.data(), environ);
    }
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        return fail(errorText(error));
    }
    socket_ = ends[0];
    child_ = child;
    log("startGuard: started " + path + " (pid=" + std::to_string(child) + ")");
    return {};
}

void GuardClient::send(const Message& message) {
    if (socket_ < 0)
        return;
    const std::string line = encodeMessage(message);
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t count = ::send(socket_, line.data() + sent, line.size() - sent, kSendFlags);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            log("GuardClient: WARNING the guard cannot be reached: " + errorText(errno));
            closeWithoutQuit();
            return;
        }
        sent += static_cast<size_t>(count);
    }
}

void GuardClient::recordOutputs(const RecordedOutputs& outputs) {
    send(OutputsMessage{outputs});
}

void GuardClient::recordFrameSize(const std::string& uid, std::optional<uint32_t> originalSize) {
    send(FrameSizeMessage{uid, originalSize});
}

void GuardClient::quit() {
    send(QuitMessage{});
    closeWithoutQuit();
}

void GuardClient::closeWithoutQuit() {
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

std::optional<int> GuardClient::waitForExit(std::chrono::milliseconds timeout) {
    if (child_ <= 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child_, &status, WNOHANG);
        if (done == child_) {
            child_ = -1;
            return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
        }
        if (done < 0 && errno != EINTR) {
            child_ = -1; // not our child any more
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace sonarill::guard
