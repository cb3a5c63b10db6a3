// The real sonarill-guard, started through GuardClient on the simulated audio system it shares
// with this test: the test plays the application that takes the output over, then dies (its end
// of the pipe closes without the quit message) or quits in order.

#include "audio/DeviceLookup.h"
#include "guard/GuardClient.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <thread>

#include <pthread.h>
#include <unistd.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using namespace std::chrono_literals;
using guard::GuardClient;
using ::testing::Contains;
using ::testing::StartsWith;

const auto* const home = addScratchHome(); // the log the guard appends to as well

constexpr auto kOutput = kAudioHardwarePropertyDefaultOutputDevice;
constexpr auto kSystemOutput = kAudioHardwarePropertyDefaultSystemOutputDevice;
const std::string kVirtual = "Sonarill_OutputDevice";
const std::string kWatching = "guard: watching the application";

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::optional<uint32_t> frameSize(AudioObjectID device) {
    return audio::readUInt32Property(device, kAudioDevicePropertyBufferFrameSize);
}

// "SigBlk:\t0000000000000000" and the like from /proc/<pid>/status, as a number.
uint64_t signalMask(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    }
    ADD_FAILURE() << "no " << field << " for pid " << pid;
    return ~uint64_t(0);
}

class GuardProcess : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("SONARILL_SIM_WORLD"); // the guard's world is this test's: the default one
        const auto program = GuardClient::defaultProgram();
        ASSERT_TRUE(program);
        // The application's own signal dispositions and mask, which the guard must not inherit.
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
            [&] { return log.contains(kWatching + " (pid=" + std::to_string(getpid()) + ")"); },
            20s))
            << "the guard did not start";
        // What the application does: records the outputs, takes them over, aligns a device.
        client.recordOutputs({kSpeakersUID, kSpeakersUID});
        ASSERT_TRUE(sim::setDefaultDevice(kOutput, kVirtual));
        ASSERT_TRUE(sim::setDefaultDevice(kSystemOutput, kVirtual));
        ASSERT_EQ(audio::writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 512),
                  noErr);
        client.recordFrameSize(kHDMIUID, 1024u);
    }

    std::vector<std::string> guardLines() const {
        std::vector<std::string> lines;
        for (const std::string& message : log.messages()) {
            if (message.rfind("guard: ", 0) == 0 && message.rfind(kWatching, 0) != 0)
                lines.push_back(message);
        }
        return lines;
    }

    ScopedSimWorld world{worldWithDriver(), sim::TimelineClock::manual};
    LogCapture log;
    GuardClient client;
};

TEST_F(GuardProcess, RunsInItsOwnSessionWithDefaultSignalHandling) {
    EXPECT_EQ(getsid(client.pid()), client.pid()) << "a session of its own";
    const auto bit = [](int signal) { return uint64_t(1) << (signal - 1); };
    EXPECT_EQ(signalMask(client.pid(), "SigBlk") & bit(SIGUSR1), 0u);
    EXPECT_EQ(signalMask(client.pid(), "SigIgn") & bit(SIGUSR2), 0u);
    EXPECT_NE(signalMask(client.pid(), "SigIgn") & bit(SIGPIPE), 0u) << "the guard's own choice";
    client.quit();
    EXPECT_EQ(client.waitForExit(10s), 0);
}

TEST_F(GuardProcess, GivesTheOutputsAndTheFrameSizeBackWhenThePipeClosesWithoutQuit) {
    const auto closed = std::chrono::steady_clock::now();
    client.closeWithoutQuit();
    EXPECT_TRUE(eventually([] { return sim::defaultDeviceUID(kOutput) == kSpeakersUID; }));
    const auto restored = std::chrono::steady_clock::now() - closed;
    std::cout << "pipe closed -> default output restored: "
              << std::chrono::duration<double, std::milli>(restored).count() << " ms\n";
    EXPECT_TRUE(eventually([] { return sim::defaultDeviceUID(kSystemOutput) == kSpeakersUID; }));
    EXPECT_TRUE(eventually([] { return frameSize(kHDMI) == 1024u; }));
    EXPECT_EQ(client.waitForExit(10s), 0);
    EXPECT_THAT(guardLines(),
                ::testing::ElementsAre(
                    "guard: the application ended without quitting; giving its changes back",
                    "guard: default output restored to BuiltInSpeakerDevice (deviceID=41)",
                    "guard: default system output restored to BuiltInSpeakerDevice (deviceID=41)",
                    "guard: restored buffer frame size for uid=LGHDMIDisplay:0 to 1024",
                    "guard: done"));
}

TEST_F(GuardProcess, ExitsWithoutChangingAnythingAfterTheQuitMessage) {
    client.quit();
    EXPECT_EQ(client.waitForExit(10s), 0);
    EXPECT_EQ(sim::defaultDeviceUID(kOutput), kVirtual);
    EXPECT_EQ(sim::defaultDeviceUID(kSystemOutput), kVirtual);
    EXPECT_EQ(frameSize(kHDMI), 512u);
    EXPECT_THAT(guardLines(), ::testing::IsEmpty());
}

// The user picked the display as output while the application ran, and the forwarder gave the
// display's size back itself: neither is the guard's to change; the alert sounds still are.
TEST_F(GuardProcess, LeavesAnOutputTheUserPickedAndASizeAlreadyGivenBack) {
    ASSERT_TRUE(sim::setDefaultDevice(kOutput, kHDMIUID));
    client.recordFrameSize(kHDMIUID, std::nullopt);
    client.closeWithoutQuit();
    EXPECT_TRUE(eventually([] { return sim::defaultDeviceUID(kSystemOutput) == kSpeakersUID; }));
    EXPECT_EQ(client.waitForExit(10s), 0);
    EXPECT_EQ(sim::defaultDeviceUID(kOutput), kHDMIUID);
    EXPECT_EQ(frameSize(kHDMI), 512u);
    EXPECT_THAT(guardLines(),
                Contains("guard: default output is LGHDMIDisplay:0, not Sonarill; left alone"));
    EXPECT_THAT(guardLines(), ::testing::Not(Contains(StartsWith("guard: restored buffer"))));
}

// The recorded device was unplugged meanwhile: the output stays on the virtual device, and the
// guard says so.
TEST_F(GuardProcess, LeavesTheOutputOnTheVirtualDeviceWhenTheRecordedOneIsGone) {
    client.recordOutputs({"UnpluggedDevice", kSpeakersUID});
    client.closeWithoutQuit();
    EXPECT_TRUE(eventually([] { return sim::defaultDeviceUID(kSystemOutput) == kSpeakersUID; }));
    EXPECT_EQ(client.waitForExit(10s), 0);
    EXPECT_EQ(sim::defaultDeviceUID(kOutput), kVirtual);
    EXPECT_THAT(guardLines(),
                Contains("guard: default output UnpluggedDevice is gone; it stays on Sonarill"));
}

} // namespace
