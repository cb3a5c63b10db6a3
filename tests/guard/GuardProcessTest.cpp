// The real sonarill-guard, started through GuardClient on the simulated audio system it shares
// with this test: the test plays the application that takes the outputs over, then dies (its
// end of the pipe closes without the quit message). Plain deaths and orderly quits are the
// launch tests' rows; here are the changes the user or the system made meanwhile.

#include "audio/DeviceLookup.h"
#include "guard/GuardClient.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>

#include <pthread.h>
#include <unistd.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using namespace std::chrono_literals;
using guard::GuardClient;
using Lines = std::vector<std::string>;

const auto* const home = addScratchHome(); // the log the guard appends to as well

constexpr auto kOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kSystemOutput = kAudioHardwarePropertyDefaultSystemOutputDevice;
const std::string kVirtual = "Sonarill_OutputDevice";
const std::string kWatching = "guard: watching the application";

// "SigBlk:\t0000000000000000" and the like from /proc/<pid>/status: whether `signal` is in it.
bool inSignalSet(pid_t pid, const std::string& field, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return (std::stoull(line.substr(field.size() + 1), nullptr, 16) >> (signal - 1)) & 1;
    ADD_FAILURE() << "no " << field << " for pid " << pid;
    return false;
}

// Starts the guard as the application would, with the application's own signal dispositions
// and mask, which the guard must not inherit.
void startGuard(GuardClient& client, const LogCapture& log) {
    const auto program = GuardClient::defaultProgram();
    ASSERT_TRUE(program);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &previous);
    sigset_t blocked, previousMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    const auto started = client.start(*program);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGUSR2, &previous, nullptr);
    ASSERT_TRUE(started) << started.error();
    ASSERT_TRUE(eventually(
        [&] { return log.contains(kWatching + " (pid=" + std::to_string(getpid()) + ")"); }, 20s))
        << "the guard did not start";
    EXPECT_EQ(getsid(client.pid()), client.pid()) << "a session of its own";
    EXPECT_FALSE(inSignalSet(client.pid(), "SigBlk", SIGUSR1));
    EXPECT_FALSE(inSignalSet(client.pid(), "SigIgn", SIGUSR2));
    EXPECT_TRUE(inSignalSet(client.pid(), "SigIgn", SIGPIPE)) << "the guard's own choice";
}

TEST(GuardProcess, GivesBackOnlyWhatTheApplicationStillHoldsWhenItEndsWithoutQuitting) {
    const std::string S = kSpeakersUID, D = kHDMIUID;
    const std::string output = "guard: default output restored to " + S + " (deviceID=41)";
    const std::string system = "guard: default system output restored to " + S + " (deviceID=41)";
    const std::string size = "guard: restored buffer frame size for uid=" + D + " to 1024";
    const Lines displayPicked = {"guard: default output is " + D + ", not Sonarill; left alone",
                                 system};
    const Lines unplugged = {"guard: default output UnpluggedDevice is gone; it stays on Sonarill",
                             system, size};
    const Lines nothingToDo = {
        output, "guard: no original default system output was recorded; it stays on Sonarill",
        "guard: buffer frame size already restored for uid=" + D + " size=1024"};
    using Meanwhile = std::function<void(GuardClient&)>; // after the application took over
    // Neither is the guard's to change any more; the alert sounds still are.
    const Meanwhile pickDisplay = [](GuardClient& client) {
        ASSERT_TRUE(sim::setDefaultDevice(kOutput, kHDMIUID));
        client.recordFrameSize(kHDMIUID, std::nullopt); // the forwarder gave it back
    };
    const Meanwhile unplug = [](GuardClient& client) {
        client.recordOutputs({"UnpluggedDevice", kSpeakersUID});
    };
    const Meanwhile noSystemOutput = [](GuardClient& client) {
        client.recordOutputs({kSpeakersUID, ""});
        ASSERT_EQ(audio::writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 1024),
                  noErr);
    };
    struct Case {
        const char* name;
        Meanwhile meanwhile;
        std::string outputAfter, systemOutputAfter;
        UInt32 displayFramesAfter;
        Lines lines; // between the first and the last when it dies
    };
    const Case cases[] = {
        {"the user picked the display", pickDisplay, D, S, 512, displayPicked},
        {"the output was unplugged", unplug, kVirtual, S, 1024, unplugged},
        {"no alert output and the size back", noSystemOutput, S, kVirtual, 1024, nothingToDo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsetenv("SONARILL_SIM_WORLD"); // the guard's world is this test's: the default one
        const ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
        LogCapture log;
        GuardClient client;
        startGuard(client, log);
        // What the application does: records the outputs, takes them over, aligns a device.
        client.recordOutputs({kSpeakersUID, kSpeakersUID});
        ASSERT_TRUE(sim::setDefaultDevice(kOutput, kVirtual));
        ASSERT_TRUE(sim::setDefaultDevice(kSystemOutput, kVirtual));
        ASSERT_EQ(audio::writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 512),
                  noErr);
        client.recordFrameSize(kHDMIUID, 1024u);
        c.meanwhile(client);
        client.closeWithoutQuit();

        EXPECT_EQ(client.waitForExit(10s), 0);
        EXPECT_EQ(sim::defaultDeviceUID(kOutput), c.outputAfter);
        EXPECT_EQ(sim::defaultDeviceUID(kSystemOutput), c.systemOutputAfter);
        EXPECT_EQ(audio::readUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize),
                  c.displayFramesAfter);
        Lines lines;
        for (const std::string& message : log.messages())
            if (message.rfind("guard: ", 0) == 0 && message.rfind(kWatching, 0) != 0)
                lines.push_back(message);
        Lines expected = {"guard: the application ended without quitting; giving its changes back"};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.push_back("guard: done");
        EXPECT_EQ(lines, expected);
    }
}

} // namespace
