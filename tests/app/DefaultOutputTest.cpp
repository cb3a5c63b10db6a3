#include "app/DefaultOutput.h"
#include "app/BoundedQuery.h"

#include "support/DefaultWorld.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using Lines = std::vector<std::string>;

const auto* const home = addScratchHome();

TEST(BoundedQuery, WaitIsTheTimeoutInWholeMillisecondsAndAtLeastOne) {
    const struct {
        double seconds;
        long long milliseconds;
    } cases[] = {{2.0, 2000},
                 {0.0019, 1},
                 {0.0, 1},
                 {std::nan(""), 1},
                 {std::numeric_limits<double>::infinity(), 86'400'000}};
    for (const auto& c : cases)
        EXPECT_EQ(app::boundedQueryWait(c.seconds).count(), c.milliseconds) << c.seconds;
}

TEST(BoundedQuery, LateAnswerIsDroppedAndTheWorkerFinishesIntoItsOwnBox) {
    // The worker outlives the caller's wait: everything it touches afterwards must still exist
    // (AddressSanitizer sees a write into the caller's gone frame).
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::promise<void> workerDone;
    std::future<void> done = workerDone.get_future();
    {
        // Destroyed with the worker's copy of the operation, after it stored and signalled.
        auto sentinel =
            std::shared_ptr<void>(nullptr, [&workerDone](void*) { workerDone.set_value(); });
        const std::optional<std::string> answer =
            app::coreAudioValue(0.02, [released, sentinel]() -> std::optional<std::string> {
                released.wait();
                return std::string(1000, 'x');
            });
        EXPECT_EQ(answer, std::nullopt);
    }
    release.set_value();
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(app::coreAudioValue(2.0, [] { return std::optional<int>(1); }), 1);
}

// What giving the outputs back at quit does, from the defaults it finds and the record of
// launch; whether it says it succeeded decides if the outputs' state file goes.
TEST(RestoreDefaultOutput, GivesBackWhatTheVirtualDeviceHoldsAndSaysWhetherItWorked) {
    const char* const V = "Sonarill_OutputDevice";
    const char* const S = kSpeakersUID;
    const char* const H = kHeadsetUID;
    const std::string restoring = "Restoring default output to: BuiltInSpeakerDevice",
                      restoringLower = "Restoring default output to: builtinspeakerdevice",
                      system = "Restoring default system output to: BuiltInSpeakerDevice",
                      noOutput = "currentDefaultOutputUID: timed out or returned nil",
                      noSystem = "currentDefaultSystemOutputUID: timed out or returned nil";
    const auto notOurs = [](const std::string& uid) {
        return "Default output not Sonarill (" + uid + "), no restore needed";
    };
    const auto failing = [](AudioObjectPropertySelector selector, OSStatus status,
                            sim::AudioCall call = sim::AudioCall::setPropertyData) {
        return sim::Fault{.call = call, .selector = selector, .status = status};
    };
    const auto hung = [](AudioObjectPropertySelector selector) {
        return sim::Fault{.selector = selector, .block = std::chrono::seconds(30)};
    };
    constexpr auto kOut = kAudioHardwarePropertyDefaultOutputDevice;
    constexpr auto kSys = kAudioHardwarePropertyDefaultSystemOutputDevice;
    struct Case {
        const char* name;
        const char* output;
        const char* systemOutput;
        std::optional<std::string> recorded;
        std::vector<sim::Fault> faults;
        bool restored;
        Lines lines;
        const char* outputAfter;
        const char* systemOutputAfter;
    };
    const std::string lower = "builtinspeakerdevice";
    const std::string gone = "findDeviceID: timed out or returned nil for uid=";
    const std::string error = "restoreDefaultOutput: ERROR setting default ";
    const Lines refusedOutput = {restoring, error + "output: -50, 0"};
    const Lines refusedSystem = {restoring, error + "output: 0, 1852797029",
                                 error + "system output: 1852797029"};
    const Lines unread = {noOutput, notOurs("nil"), noSystem};
    const sim::Fault outputUnread = failing(kOut, -1, sim::AudioCall::getPropertyData);
    const sim::Fault uidUnread{.uid = S, .selector = kAudioDevicePropertyDeviceUID, .status = -1};
    // A name, the defaults before, the recorded original and faults; then what it says and logs,
    // and the defaults after. Both outputs given back in full is the launch tests' quit.
    const Case cases[] = {
        {"user picked headset", H, V, S, {}, true, {notOurs(H), system}, H, S},
        {"neither virtual", H, S, S, {}, true, {notOurs(H)}, H, S},
        {"virtual recorded by an earlier run", V, V, V, {}, false, {notOurs(V)}, V, V},
        {"nothing recorded", V, V, std::nullopt, {}, false, {notOurs(V)}, V, V},
        {"other case: gone", V, V, lower, {}, false, {restoringLower, gone + lower}, V, V},
        {"recorded gone", H, V, "Gone", {}, false, {notOurs(H), gone + "Gone"}, H, V},
        {"output write refused", V, V, S, {failing(kOut, -50)}, false, refusedOutput, V, S},
        {"system write refused", V, V, S, {failing(kSys, 1852797029)}, false, refusedSystem, S, V},
        // Two bounded reads of 2 s, far short of the hang; the world's reset frees the workers.
        {"server does not answer", V, V, S, {hung(kOut), hung(kSys)}, false, unread, V, V},
        {"defaults unreadable", V, S, S, {outputUnread, uidUnread}, false, unread, V, S},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedSimWorld world(worldWithDriver());
        ASSERT_TRUE(sim::setDefaultDevice(kOut, c.output));
        ASSERT_TRUE(sim::setDefaultDevice(kSys, c.systemOutput));
        for (const sim::Fault& fault : c.faults)
            sim::injectFault(fault);
        const LogCapture log;
        EXPECT_EQ(app::restoreDefaultOutput(c.recorded), c.restored);
        EXPECT_EQ(log.messages(), c.lines);
        EXPECT_EQ(sim::defaultDeviceUID(kOut), c.outputAfter);
        EXPECT_EQ(sim::defaultDeviceUID(kSys), c.systemOutputAfter);
    }
}

} // namespace
