#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sonarill::platform {
namespace {

// Closes both ends on every path out of runProgram.
struct Pipe {
    int ends[2] = {-1, -1};
    ~Pipe() {
        for (const int end : ends)
            if (end >= 0)
                ::close(end);
    }
    void closeEnd(int which) {
        ::close(ends[which]);
        ends[which] = -1;
    }
};

// FD_CLOEXEC so that a program started by another thread at the same time does not inherit
// the pipe and keep it open (pipe2 is not available on every platform we build for).
bool openPipe(Pipe& pipe) {
    if (::pipe(pipe.ends) != 0)
        return false;
    for (const int end : pipe.ends)
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
    return true;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        return text;
    }
}

int waitForExit(pid_t child, std::string& why) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            why += "cannot obtain the exit status: ";
            why += std::strerror(errno);
            return -1;
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        why += "terminated by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

// A child starts as a fresh program would: SIGTERM, SIGINT and SIGPIPE with their default effect
// even where the application ignores or catches them, and no signal blocked by the calling
// thread, so that a child can still be stopped.
struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() {
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : {SIGTERM, SIGINT, SIGPIPE, SIGHUP, SIGQUIT})
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

std::vector<char*> argumentPointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (const std::string& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ProgramResult runProgram(const std::vector<std::string>& argv) {
    ProgramResult result;
    if (argv.empty()) {
        result.standardError = "no program to run";
        return result;
    }
    Pipe errorPipe;
    if (!openPipe(errorPipe)) {
        result.standardError = std::string("cannot create a pipe: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errorPipe.ends[1], STDERR_FILENO);

    std::vector<char*> arguments = argumentPointers(argv);
    const SpawnAttributes attributes;
    pid_t child = 0;
    const int spawnError = posix_spawn(&child, arguments[0], &actions, &attributes.attributes,
                                       arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        result.standardError = "cannot start " + argv[0] + ": " + std::strerror(spawnError);
        return result;
    }
    // Our copy of the write end must go, or the read below never sees end of file.
    errorPipe.closeEnd(1);
    result.standardError = readAll(errorPipe.ends[0]);
    result.exitStatus = waitForExit(child, result.standardError);
    return result;
}

} // namespace sonarill::platform
