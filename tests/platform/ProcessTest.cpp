#include "platform/Process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <string>

namespace platform = sonarill::platform;

TEST(RunProgram, ReportsStatusAndStandardErrorWithInputAndOutputOnDevNull) {
    // Inherited input or output would let a step wait on the terminal or print into ours. The
    // shell reads its own descriptors: dash redirects them while it runs a command.
    const platform::ProgramResult result = platform::runProgram(
        {"/bin/sh", "-c",
         "echo out; echo \"$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1)\" >&2; exit 3"});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.standardError, "/dev/null /dev/null\n");
    const platform::ProgramResult killed = platform::runProgram({"/bin/sh", "-c", "kill -9 $$"});
    EXPECT_EQ(killed.exitStatus, -1);
    EXPECT_EQ(killed.standardError, "terminated by signal 9");
}

namespace {

void countSignal(int) {}

// Changes how this process treats one signal for the length of a test, and puts it back.
class SignalState {
public:
    enum class Kind { ignored, caught, blocked };

    SignalState(int signal, Kind kind) : signal_(signal) {
        sigemptyset(&mask_);
        sigaddset(&mask_, signal);
        struct sigaction action = {};
        sigemptyset(&action.sa_mask);
        action.sa_handler = kind == Kind::ignored ? SIG_IGN : countSignal;
        if (kind == Kind::blocked)
            pthread_sigmask(SIG_BLOCK, &mask_, &previousMask_);
        else
            sigaction(signal, &action, &previous_);
        kind_ = kind;
    }
    ~SignalState() {
        if (kind_ == Kind::blocked)
            pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        else
            sigaction(signal_, &previous_, nullptr);
    }
    SignalState(const SignalState&) = delete;
    SignalState& operator=(const SignalState&) = delete;

private:
    int signal_;
    Kind kind_ = Kind::caught;
    sigset_t mask_;
    sigset_t previousMask_;
    struct sigaction previous_ = {};
};

} // namespace

TEST(RunProgram, ChildStartsWithDefaultSignalHandlingWhateverTheApplicationDoes) {
    // The application catches SIGTERM and SIGINT; an ignored or blocked signal would be inherited
    // and make the privileged shell's child impossible to stop.
    using Kind = SignalState::Kind;
    for (const int signal : {SIGTERM, SIGINT}) {
        for (const Kind kind : {Kind::ignored, Kind::caught, Kind::blocked}) {
            SCOPED_TRACE(::testing::Message()
                         << "signal " << signal << ", kind " << static_cast<int>(kind));
            const SignalState state(signal, kind);
            const platform::ProgramResult result = platform::runProgram(
                {"/bin/sh", "-c", "kill -" + std::to_string(signal) + " $$; exit 0"});
            EXPECT_EQ(result.exitStatus, -1);
            EXPECT_EQ(result.standardError, "terminated by signal " + std::to_string(signal));
        }
    }
}
