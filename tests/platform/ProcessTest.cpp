// Running a program, as each row of tests/scenarios/platform/RunProgram.json says.
#include "platform/Process.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>

namespace {

using nlohmann::json;

// A signal this process ignores and one it blocks for the length of a row (0: none), put back
// afterwards.
struct SignalTreatment {
    SignalTreatment(int ignoredSignal, int blockedSignal) : ignored(ignoredSignal) {
        sigset_t mask;
        sigemptyset(&mask);
        if (blockedSignal)
            sigaddset(&mask, blockedSignal);
        pthread_sigmask(SIG_BLOCK, &mask, &previousMask);
        struct sigaction action = {};
        action.sa_handler = SIG_IGN;
        sigaction(ignored, &action, &previous); // refused for no signal (0): nothing changes
    }
    ~SignalTreatment() {
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        sigaction(ignored, &previous, nullptr);
    }
    int ignored;
    sigset_t previousMask{};
    struct sigaction previous = {};
};

TEST(RunProgram, ReportsHowTheChildEndedAndLetsItInheritNoIgnoredOrBlockedSignal) {
    sonarill::testing::runTextTable(
        SONARILL_TABLES "/RunProgram.json",
        {{"runProgram", [](const json& run, const json& gives) {
              sonarill::testing::knownKeysOnly(run, {"argv", "ignored", "blocked"});
              const SignalTreatment treated(run.value("ignored", 0), run.value("blocked", 0));
              const auto result = sonarill::platform::runProgram(run.at("argv"));
              EXPECT_EQ((json{{"exitStatus", result.exitStatus},
                              {"standardError", result.standardError}}),
                        gives);
          }}});
}

} // namespace
