// The real sonarill-guard, started through GuardClient on the simulated audio system it shares
// with this test: the test plays the application that takes the outputs over, then dies (its
// end of the pipe closes without the quit message). Plain deaths and orderly quits are the
// launch tests' rows; here are the changes the user or the system made meanwhile.

#include "audio/DeviceLookup.h"
#include "guard/GuardClient.h"
#include "sim/Control.h"
#include "support/DataRows.h"
#include "support/DefaultWorld.h"
#include "support/Eventually.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <pthread.h>
#include <unistd.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using namespace std::chrono_literals;
using guard::GuardClient;
using Lines = std::vector<std::string>;
using nlohmann::json;

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

// Each row of tests/scenarios/launch/guard-endings.json: what the user or the system changed after
// the application took the outputs over, then what the guard leaves and logs when it dies.
class GuardProcess : public ::testing::TestWithParam<DataRow> {};

TEST_P(GuardProcess, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "meanwhile", "after", "log"});
    knownKeysOnly(row.at("after"), {"output", "systemOutput", "frameSizes"});
    unsetenv("SONARILL_SIM_WORLD"); // the guard's world is this test's: the default one
    const ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    LogCapture log;
    GuardClient client;
    startGuard(client, log);
    // What the application does: records the outputs, takes them over, aligns a device.
    client.recordOutputs({kSpeakersUID, kSpeakersUID});
    ASSERT_TRUE(sim::setDefaultDevice(kOutput, kVirtual));
    ASSERT_TRUE(sim::setDefaultDevice(kSystemOutput, kVirtual));
    ASSERT_EQ(audio::writeUInt32Property(kHDMI, kAudioDevicePropertyBufferFrameSize, 512), noErr);
    client.recordFrameSize(kHDMIUID, 1024u);
    for (const json& change : row.at("meanwhile")) {
        knownKeysOnly(change,
                      {"setDefaultOutput", "recordOutputs", "recordFrameSize", "setFrameSizes"});
        if (change.contains("setDefaultOutput")) {
            ASSERT_TRUE(
                sim::setDefaultDevice(kOutput, change["setDefaultOutput"].get<std::string>()));
        }
        if (change.contains("recordOutputs"))
            client.recordOutputs({change["recordOutputs"].at(0).get<std::string>(),
                                  change["recordOutputs"].at(1).get<std::string>()});
        if (const json& record = memberOrNull(change, "recordFrameSize"); !record.is_null())
            client.recordFrameSize(
                record.at(0).get<std::string>(),
                record.at(1).is_null() ? std::nullopt : std::optional(record[1].get<uint32_t>()));
        for (const auto& [uid, size] : memberOrNull(change, "setFrameSizes").items())
            ASSERT_EQ(audio::writeUInt32Property(deviceID(uid), kAudioDevicePropertyBufferFrameSize,
                                                 size.get<UInt32>()),
                      noErr);
    }
    client.closeWithoutQuit();

    EXPECT_EQ(client.waitForExit(10s), 0);
    EXPECT_EQ(sim::defaultDeviceUID(kOutput), row["after"].at("output").get<std::string>());
    EXPECT_EQ(sim::defaultDeviceUID(kSystemOutput),
              row["after"].at("systemOutput").get<std::string>());
    for (const auto& [uid, size] : memberOrNull(row["after"], "frameSizes").items())
        EXPECT_EQ(bufferFrameSize(uid), size.get<UInt32>()) << uid;
    Lines lines;
    for (const std::string& message : log.messages())
        if (message.rfind("guard: ", 0) == 0 && message.rfind(kWatching, 0) != 0)
            lines.push_back(message);
    EXPECT_TRUE(linesAre(lines, row.at("log")));
}

INSTANTIATE_TEST_SUITE_P(GuardProcess, GuardProcess,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/guard-endings.json")),
                         rowName);

} // namespace
