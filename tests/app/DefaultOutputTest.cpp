#include "app/DefaultOutput.h"
#include "app/BoundedQuery.h"

#include "support/DefaultWorld.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const auto* const home = addScratchHome();

constexpr const char* kVirtual = "Sonarill_OutputDevice";

TEST(BoundedQuery, WaitIsTheTimeoutInWholeMillisecondsAndAtLeastOne) {
    const struct {
        double seconds;
        long long milliseconds;
    } cases[] = {
        {2.0, 2000},        {0.0019, 1},
        {0.0, 1},           {-1.0, 1},
        {std::nan(""), 1},  {0.0025, 2},
        {1e12, 86'400'000}, {std::numeric_limits<double>::infinity(), 86'400'000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(app::boundedQueryWait(c.seconds).count(), c.milliseconds) << c.seconds;
}

TEST(BoundedQuery, GivesTheOperationsAnswerOrNothing) {
    EXPECT_EQ(app::coreAudioValue(2.0, [] { return std::optional<int>(7); }), 7);
    EXPECT_EQ(app::coreAudioValue(2.0, [] { return std::optional<int>(); }), std::nullopt);
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

// What restoreDefaultOutput does, from the defaults it finds and the record of launch.
struct RestoreCase {
    const char* name;
    const char* defaultOutput;
    const char* defaultSystemOutput;
    std::optional<std::string> recorded;
    std::vector<sim::Fault> faults;
    std::vector<std::string> lines;
    const char* outputAfter;
    const char* systemOutputAfter;
};

std::string speakersID() {
    return std::to_string(kSpeakers);
}

std::vector<RestoreCase> restoreCases() {
    const sim::Fault outputWriteRefused{.call = sim::AudioCall::setPropertyData,
                                        .selector = kAudioHardwarePropertyDefaultOutputDevice,
                                        .status = -50};
    const sim::Fault systemWriteRefused{.call = sim::AudioCall::setPropertyData,
                                        .selector = kAudioHardwarePropertyDefaultSystemOutputDevice,
                                        .status = 1852797029}; // 'nope'
    return {
        {"both on the virtual device",
         kVirtual,
         kVirtual,
         kSpeakersUID,
         {},
         {"Restoring default output to: BuiltInSpeakerDevice",
          "Default output restored to deviceID=" + speakersID()},
         kSpeakersUID,
         kSpeakersUID},
        {"user picked another output; alert sounds still on the virtual device",
         kHeadsetUID,
         kVirtual,
         kSpeakersUID,
         {},
         {std::string("Default output not Sonarill (") + kHeadsetUID + "), no restore needed",
          "Restoring default system output to: BuiltInSpeakerDevice"},
         kHeadsetUID,
         kSpeakersUID},
        {"virtual device recorded at launch, left over from an earlier run",
         kVirtual,
         kVirtual,
         std::string(kVirtual),
         {},
         {"Default output not Sonarill (Sonarill_OutputDevice), no restore needed"},
         kVirtual,
         kVirtual},
        {"nothing recorded",
         kVirtual,
         kVirtual,
         std::nullopt,
         {},
         {"Default output not Sonarill (Sonarill_OutputDevice), no restore needed"},
         kVirtual,
         kVirtual},
        {"recorded UID differs in letter case: another device, which is gone",
         kVirtual,
         kVirtual,
         std::string("builtinspeakerdevice"),
         {},
         {"Restoring default output to: builtinspeakerdevice",
          "findDeviceID: timed out or returned nil for uid=builtinspeakerdevice"},
         kVirtual,
         kVirtual},
        {"default output write refused",
         kVirtual,
         kVirtual,
         kSpeakersUID,
         {outputWriteRefused},
         {"Restoring default output to: BuiltInSpeakerDevice",
          "restoreDefaultOutput: ERROR setting default output: -50, 0"},
         kVirtual,
         kSpeakersUID},
        {"default system output write refused",
         kVirtual,
         kVirtual,
         kSpeakersUID,
         {systemWriteRefused},
         {"Restoring default output to: BuiltInSpeakerDevice",
          "restoreDefaultOutput: ERROR setting default output: 0, 1852797029",
          "restoreDefaultOutput: ERROR setting default system output: 1852797029"},
         kSpeakersUID,
         kVirtual},
        {"neither on the virtual device",
         kHeadsetUID,
         kSpeakersUID,
         kSpeakersUID,
         {},
         {std::string("Default output not Sonarill (") + kHeadsetUID + "), no restore needed"},
         kHeadsetUID,
         kSpeakersUID},
    };
}

TEST(RestoreDefaultOutput, GivesBackWhatTheVirtualDeviceHoldsAndSaysWhetherItWorked) {
    for (const RestoreCase& c : restoreCases()) {
        SCOPED_TRACE(c.name);
        ScopedSimWorld world(worldWithDriver());
        ASSERT_TRUE(
            sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, c.defaultOutput));
        ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice,
                                          c.defaultSystemOutput));
        for (const sim::Fault& fault : c.faults)
            sim::injectFault(fault);
        const LogCapture log;
        const bool restored = app::restoreDefaultOutput(c.recorded);
        EXPECT_THAT(log.messages(), ElementsAreArray(c.lines));
        // With a device to give back, success means the virtual device holds neither output.
        if (c.recorded && !c.recorded->empty() && *c.recorded != kVirtual) {
            EXPECT_EQ(restored, std::string(c.outputAfter) != kVirtual &&
                                    std::string(c.systemOutputAfter) != kVirtual);
        }
        EXPECT_EQ(sim::defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice), c.outputAfter);
        EXPECT_EQ(sim::defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice),
                  c.systemOutputAfter);
    }
}

TEST(RestoreDefaultOutput, HungAudioServerCostsTheTimeOutsAndChangesNothing) {
    // The default output devices cannot be read for longer than any wait; the device list can.
    sim::World hung = worldWithDriver();
    for (const AudioObjectPropertySelector selector :
         {kAudioHardwarePropertyDefaultOutputDevice,
          kAudioHardwarePropertyDefaultSystemOutputDevice})
        hung.faults.push_back({.call = sim::AudioCall::getPropertyData,
                               .selector = selector,
                               .block = std::chrono::seconds(30)});
    ScopedSimWorld world(hung);
    ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, kVirtual));
    const LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(app::restoreDefaultOutput(std::string(kSpeakersUID)));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_THAT(log.messages(),
                ElementsAre("currentDefaultOutputUID: timed out or returned nil",
                            "Default output not Sonarill (nil), no restore needed",
                            "currentDefaultSystemOutputUID: timed out or returned nil"));
    // Two bounded reads of 2 s, far short of the 30 s hang. The world's reset releases the
    // blocked workers.
    EXPECT_GE(elapsed, std::chrono::milliseconds(3900));
    EXPECT_LT(elapsed, std::chrono::seconds(15));
}

TEST(CurrentDefaultOutputUID, ReadsTheDefaultDeviceOrLogsWhyNot) {
    ScopedSimWorld world(worldWithDriver());
    EXPECT_EQ(app::currentDefaultOutputUID(2.0), kSpeakersUID);
    ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, kHDMIUID));
    EXPECT_EQ(app::currentDefaultSystemOutputUID(2.0), kHDMIUID);
    EXPECT_EQ(app::findDeviceID(kHeadsetUID, 2.0), kHeadset);

    sim::injectFault({.call = sim::AudioCall::getPropertyData,
                      .uid = std::string(kSpeakersUID),
                      .selector = kAudioDevicePropertyDeviceUID,
                      .status = -1});
    const LogCapture log;
    EXPECT_EQ(app::currentDefaultOutputUID(2.0), std::nullopt);
    EXPECT_EQ(app::findDeviceID(kSpeakersUID, 2.0), std::nullopt);
    EXPECT_THAT(
        log.messages(),
        ElementsAre("currentDefaultOutputUID: timed out or returned nil",
                    "findDeviceID: timed out or returned nil for uid=BuiltInSpeakerDevice"));
}

} // namespace
