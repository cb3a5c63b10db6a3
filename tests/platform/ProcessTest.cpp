#include "platform/Process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <string>
#include <vector>

namespace platform = sonarill::platform;

namespace {

enum class Treatment { asInherited, ignored, blocked };

// How this process treats one signal for the length of a row, put back afterwards.
struct SignalTreatment {
    SignalTreatment(int number, Treatment how) : signal(number) {
        sigset_t mask;
        sigemptyset(&mask);
        if (how == Treatment::blocked)
            sigaddset(&mask, number);
        pthread_sigmask(SIG_BLOCK, &mask, &previousMask);
        struct sigaction action = {};
        action.sa_handler = how == Treatment::ignored ? SIG_IGN : SIG_DFL;
        sigaction(number, &action, &previous); // refused for no signal (0): nothing changes
    }
    ~SignalTreatment() {
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        sigaction(signal, &previous, nullptr);
    }
    int signal;
    sigset_t previousMask{};
    struct sigaction previous = {};
};

std::vector<std::string> shell(const std::string& script) {
    return {"/bin/sh", "-c", script};
}

// Inherited input or output would let a step wait on the terminal or print into ours (the shell
// reads its own descriptors: dash redirects them while it runs a command). The application
// catches SIGTERM and SIGINT; an ignored or blocked signal would be inherited and make the
// privileged shell's child impossible to stop (a caught one exec resets by itself).
TEST(RunProgram, ReportsStatusAndStandardErrorOfAChildOnDevNullWithDefaultSignalHandling) {
    struct Case {
        std::vector<std::string> argv;
        int signal; // treated as `treatment` in this process while the child runs
        Treatment treatment;
        int exitStatus;
        std::string standardError;
    };
    const Treatment none = Treatment::asInherited;
    std::vector<Case> cases = {
        {shell("echo out; echo \"$(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1)\" >&2; "
               "exit 3"),
         0, none, 3, "/dev/null /dev/null\n"},
        {shell("kill -9 $$"), 0, none, -1, "terminated by signal 9"},
        {{}, 0, none, -1, "no program to run"},
        {{"/no/program"}, 0, none, -1, "cannot start /no/program: No such file or directory"},
    };
    // Each signal the application catches, and each way a signal could be left to the child.
    for (const auto& [signal, treatment] :
         {std::pair(SIGTERM, Treatment::ignored), std::pair(SIGINT, Treatment::blocked)})
        cases.push_back({shell("kill -" + std::to_string(signal) + " $$; exit 0"), signal,
                         treatment, -1, "terminated by signal " + std::to_string(signal)});
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << (c.argv.empty() ? "" : c.argv.back()) << ", signal " << c.signal
                     << " treated " << static_cast<int>(c.treatment));
        const SignalTreatment treated(c.signal, c.treatment);
        const platform::ProgramResult result = platform::runProgram(c.argv);
        EXPECT_EQ(result.exitStatus, c.exitStatus);
        EXPECT_EQ(result.standardError, c.standardError);
    }
}

} // namespace
