#include "app/DefaultOutput.h"
#include "app/BoundedQuery.h"

#include "support/Eventually.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using nlohmann::json;

const auto* const home = addScratchHome();

TEST(BoundedQuery, WaitIsTheTimeoutInWholeMillisecondsAndAtLeastOne) {
    runTextTable(SONARILL_TABLES "/query-waits.json",
                 {{"boundedQueryWait", [](const json& seconds, const json& gives) {
                       EXPECT_EQ(
                           app::boundedQueryWait(std::stod(seconds.get<std::string>())).count(),
                           gives);
                   }}});
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
// launch, as each row of tests/scenarios/launch/restores.json says; whether it says it succeeded
// decides if the outputs' state file goes. Both outputs given back in full is the launch tests'.
// The applications play to the default output left, heard there as it plays on.
class RestoreDefaultOutput : public ::testing::TestWithParam<DataRow> {};

TEST_P(RestoreDefaultOutput, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "before", "recorded", "recordedSystemOutput", "faults",
                        "restored", "log", "after", "heard"});
    knownKeysOnly(row.at("before"), {"output", "systemOutput"});
    knownKeysOnly(row.at("after"), {"output", "systemOutput"});
    constexpr auto kOut = kAudioHardwarePropertyDefaultOutputDevice;
    constexpr auto kSys = kAudioHardwarePropertyDefaultSystemOutputDevice;
    ScopedSimWorld world(worldWithDriver());
    ASSERT_TRUE(sim::setDefaultDevice(kOut, row["before"].at("output").get<std::string>()));
    ASSERT_TRUE(sim::setDefaultDevice(kSys, row["before"].at("systemOutput").get<std::string>()));
    // A fault that blocks a read outlasts the bounded query; the world's reset frees the workers.
    for (const sim::Fault& fault :
         worldFromJSON(json{{"faults", row.value("faults", json::array())}}.dump()).faults)
        sim::injectFault(fault);
    const LogCapture log;
    const auto recorded = [&row](const char* key) {
        return row.contains(key) ? std::optional(row[key].get<std::string>()) : std::nullopt;
    };
    EXPECT_EQ(app::restoreDefaultOutput(recorded("recorded"), recorded("recordedSystemOutput")),
              row.at("restored").get<bool>());
    EXPECT_TRUE(linesAre(log.messages(), row.at("log")));
    EXPECT_EQ(sim::defaultDeviceUID(kOut), row["after"].at("output").get<std::string>());
    EXPECT_EQ(sim::defaultDeviceUID(kSys), row["after"].at("systemOutput").get<std::string>());
    for (const json& tone : memberOrNull(row, "heard")) {
        knownKeysOnly(tone, {"on", "hz", "level"});
        const std::string uid = tone.at("on");
        const UInt64 from = sim::framesPlayed(uid);
        EXPECT_TRUE(eventually([&] { return sim::framesPlayed(uid) >= from + 9600; },
                               std::chrono::seconds(20)))
            << uid << " plays on";
        EXPECT_NEAR(amplitudeAt(sim::recentlyPlayed(uid, 4800), 0, tone.at("hz")),
                    tone.at("level").get<double>(), 0.01)
            << uid << " at " << tone.at("hz") << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(RestoreDefaultOutput, RestoreDefaultOutput,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/restores.json")), rowName);

} // namespace
