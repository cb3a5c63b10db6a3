// The forwarder against the simulated audio system on the manual clock: what each device plays,
// the log lines, the clean-up of every failed step, and the buffer frame sizes given back.

#include "UnitCount.h"
#include "forwarder/AudioForwarder.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using forwarder::AudioForwarder;
using forwarder::OutputRoute;
using sim::AudioCall;
using sim::Fault;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const auto* const home = addScratchHome();

const std::string kSpeakers = kSpeakersUID;
const std::string kHDMI = kHDMIUID;       // "LG HDMI", 1024 frames: matched to 512 and recorded
const std::string kHeadset = kHeadsetUID; // 256 frames: an unusual size, recovered to 512
const std::string kVirtual = "Sonarill_OutputDevice";
constexpr OSStatus kFailure = -1234;
constexpr size_t kWindow = 4800; // 0.1 s: whole cycles of 440 and 550 Hz

class Forwarding : public ::testing::Test {
protected:
    void SetUp() override {
        // Music (440 Hz) on the speakers' bus 0, Podcasts (550 Hz) on the HDMI display's bus 1.
        pushRouteText(routeText({kSpeakers, kHDMI},
                                {{"com.apple.Music", kSpeakers}, {"com.apple.podcasts", kHDMI}}));
    }
    void fail(AudioCall call, std::optional<AudioUnitPropertyID> property,
              std::optional<std::string> uid = std::nullopt) {
        sim::injectFault(Fault{.call = call, .uid = uid, .property = property, .status = kFailure});
    }
    std::vector<float> heard(const std::string& uid) { return sim::recentlyPlayed(uid, kWindow); }

    ScopedSimWorld world{worldWithDriver(), sim::TimelineClock::manual};
    AudioForwarder forwarder; // stopped before the world goes
};

TEST_F(Forwarding, EachDevicePlaysItsOwnBusAtItsMasterVolume) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 0.8f}, {kHDMI, 1, 0.5f}}));
    sim::advanceTimeline(1.0);
    const std::vector<float> speakers = heard(kSpeakers), hdmi = heard(kHDMI);
    ASSERT_EQ(speakers.size(), kWindow * 2);
    ASSERT_EQ(hdmi.size(), kWindow * 2);
    for (int channel : {0, 1}) {
        EXPECT_NEAR(amplitudeAt(speakers, channel, 440.0), 0.5 * 0.8, 0.004);
        EXPECT_LT(amplitudeAt(speakers, channel, 550.0), 0.001) << "the other device's tone";
        EXPECT_NEAR(amplitudeAt(hdmi, channel, 550.0), 0.5 * 0.5, 0.0025);
        EXPECT_LT(amplitudeAt(hdmi, channel, 440.0), 0.001) << "the other device's tone";
    }
}

TEST_F(Forwarding, LogsEveryStepAndGivesTheMatchedSizeBackAtStop) {
    LogCapture log;
    ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 1, 0.5f}, {kHeadset, -2, 1.5f}, {"", 0, 1}}));
    EXPECT_EQ(bufferFrameSize(kHDMI), 512u);
    EXPECT_EQ(bufferFrameSize(kHeadset), 512u);
    EXPECT_THAT(forwarder.currentOutputUIDs(), ElementsAre(kHDMI, kHeadset));
    forwarder.stop();
    EXPECT_EQ(bufferFrameSize(kHDMI), 1024u);
    EXPECT_EQ(bufferFrameSize(kHeadset), 512u) << "an unusual size is never given back";
    EXPECT_THAT(
        log.messages(),
        ElementsAre("setOutputRoutes: requested 2 route(s)",
                    "  route output=" + kHDMI + " bus=1 volume=0.5",
                    "  route output=" + kHeadset + " bus=0 volume=1.0",
                    "startPipeline: output=" + kHDMI + " bus=1 volume=0.5",
                    "startPipeline: channel map bus 1 -> channels [2, 3]",
                    "startPipeline: matched LG HDMI buffer frame size 1024 -> 512 (Sonarill 512)",
                    "startPipeline: SUCCESS Sonarill_OutputDevice bus 1 -> LG HDMI",
                    "startPipeline: output=" + kHeadset + " bus=0 volume=1.0",
                    "startPipeline: channel map bus 0 -> channels [0, 1]",
                    "startPipeline: recovered USB Headset buffer frame size 256 -> 512",
                    "startPipeline: SUCCESS Sonarill_OutputDevice bus 0 -> USB Headset",
                    "setOutputRoutes: running with outputs [\"" + kHDMI + "\", \"" + kHeadset +
                        "\"]",
                    "stopPipeline: restored buffer frame size for uid=" + kHDMI + " to 1024",
                    "stop: all forwarding pipelines stopped"));

    LogCapture idle;
    forwarder.stop();
    EXPECT_TRUE(forwarder.setOutputRoutes({{"", 3, 1.0f}}));
    EXPECT_THAT(idle.messages(), ElementsAre("setOutputRoutes: requested 0 route(s)"));
}

TEST_F(Forwarding, AVolumeOnlyChangeTouchesNoUnitAndKeepsPlaying) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 0.8f}, {kHDMI, 1, 0.5f}}));
    sim::advanceTimeline(0.5);
    // Any unit call would fail now.
    fail(AudioCall::audioComponentInstanceNew, std::nullopt);
    fail(AudioCall::audioUnitSetProperty, std::nullopt);
    fail(AudioCall::audioOutputUnitStop, std::nullopt);
    LogCapture log;
    EXPECT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 0.25f}, {kHDMI, 1, 1.5f}}));
    EXPECT_THAT(log.messages(), ElementsAre("setOutputRoutes: requested 2 route(s)",
                                            "  route output=" + kSpeakers + " bus=0 volume=0.25",
                                            "  route output=" + kHDMI + " bus=1 volume=1.0"));
    EXPECT_EQ(forwarder.pipelineVolume(kSpeakers), 0.25f);
    EXPECT_EQ(forwarder.pipelineVolume(kHDMI), 1.0f);
    sim::advanceTimeline(0.2);
    EXPECT_NEAR(amplitudeAt(heard(kSpeakers), 0, 440.0), 0.5 * 0.25, 0.00125);
    EXPECT_NEAR(amplitudeAt(heard(kHDMI), 0, 550.0), 0.5, 0.005);

    // The same routes in another order: no fast path, but nothing to start or stop either.
    LogCapture reordered;
    EXPECT_TRUE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}, {kSpeakers, 0, 0.25f}}));
    EXPECT_THAT(forwarder.currentOutputUIDs(), ElementsAre(kHDMI, kSpeakers));
    for (const std::string& line : reordered.messages())
        EXPECT_THAT(line, ::testing::Not(::testing::StartsWith("startPipeline")));
    EXPECT_TRUE(reordered.contains("setOutputRoutes: running with outputs [\"" + kHDMI + "\", \"" +
                                   kSpeakers + "\"]"));
}

TEST_F(Forwarding, ABusChangeStartsTheNewPipelineBeforeStoppingTheOld) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}}));
    sim::advanceTimeline(0.3);
    // While the new pipeline aligns the device, the old one still plays.
    const AudioObjectID hdmi = deviceID(kHDMI);
    std::optional<UInt64> playedBefore, playedDuring;
    sim::setCallHook([&](const sim::CallInfo& call) {
        if (playedBefore || call.call != AudioCall::getPropertyData || call.object != hdmi ||
            call.address.mSelector != kAudioDevicePropertyBufferFrameSize)
            return;
        playedBefore = sim::framesPlayed(kHDMI);
        sim::advanceTimeline(0.1);
        playedDuring = sim::framesPlayed(kHDMI);
    });
    LogCapture log;
    ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}}));
    sim::setCallHook({});
    ASSERT_TRUE(playedBefore && playedDuring);
    EXPECT_GT(*playedDuring, *playedBefore);
    EXPECT_TRUE(log.contains("startPipeline: channel map bus 1 -> channels [2, 3]"));
    EXPECT_TRUE(log.contains("startPipeline: buffer frame size already aligned at 512"));
    EXPECT_EQ(forwarder.pipelineBus(kHDMI), 1);
    EXPECT_EQ(liveUnits(), 2) << "the old pipeline's units are gone";
    EXPECT_EQ(forwarder.originalOutputBufferFrameSizes().at(kHDMI), 1024u)
        << "the device keeps its record across the change";
    EXPECT_EQ(bufferFrameSize(kHDMI), 512u);
    sim::advanceTimeline(0.5);
    EXPECT_NEAR(amplitudeAt(heard(kHDMI), 0, 550.0), 0.5, 0.005) << "now bus 1: Podcasts";
}

// Each failing step undoes exactly what came before it: nothing keeps running (a unit left
// running would call into the freed pipeline, which AddressSanitizer reports), the device gets
// its size back, and the next call starts cleanly.
TEST_F(Forwarding, EveryFailingStepOfAStartUndoesWhatItDid) {
    struct Case {
        AudioCall call;
        std::optional<AudioUnitPropertyID> property;
        std::optional<std::string> uid;
        std::string line;
        std::optional<AudioUnitScope> scope = std::nullopt;
        int failedCreation = 0; // the nth unit creation of the start fails, where not 0
    };
    const std::string error = "startPipeline: ERROR ";
    const std::string status = ": " + std::to_string(kFailure);
    const std::vector<Case> cases = {
        {AudioCall::audioComponentInstanceNew, {}, {}, "failed to create input audio unit"},
        {AudioCall::audioUnitSetProperty,
         kAudioOutputUnitProperty_EnableIO,
         {},
         "disable output IO on input AU" + status,
         kAudioUnitScope_Output},
        {AudioCall::audioUnitSetProperty,
         kAudioOutputUnitProperty_EnableIO,
         {},
         "enable input IO on input AU" + status,
         kAudioUnitScope_Input},
        {AudioCall::audioUnitSetProperty,
         kAudioOutputUnitProperty_CurrentDevice,
         {},
         "set input device to Sonarill" + status},
        {AudioCall::audioUnitSetProperty, kAudioUnitProperty_StreamFormat, kVirtual,
         "set input AU output format" + status},
        {AudioCall::audioUnitSetProperty,
         kAudioOutputUnitProperty_SetInputCallback,
         {},
         "set input callback" + status},
        {AudioCall::audioUnitInitialize, {}, kVirtual, "initialize input AU" + status},
        {AudioCall::audioUnitSetProperty,
         kAudioUnitProperty_SetRenderCallback,
         {},
         "set render callback" + status},
        {AudioCall::audioUnitInitialize, {}, kHDMI, "initialize output AU" + status},
        {AudioCall::audioOutputUnitStart, {}, kVirtual, "start input AU" + status},
        {AudioCall::audioOutputUnitStart, {}, kHDMI, "start output AU" + status},
        {AudioCall::audioComponentInstanceNew, {}, {}, "failed to create output audio unit", {}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.failedCreation != 0)
            failUnitCreation(c.failedCreation);
        else
            sim::injectFault(Fault{.call = c.call,
                                   .uid = c.uid,
                                   .property = c.property,
                                   .scope = c.scope,
                                   .status = kFailure});
        LogCapture log;
        const UInt64 played = sim::framesPlayed(kHDMI);
        EXPECT_FALSE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}}));
        EXPECT_TRUE(log.contains(error + c.line));
        EXPECT_TRUE(log.contains("setOutputRoutes: ERROR failed to start route output=" + kHDMI +
                                 " bus=1"));
        EXPECT_EQ(bufferFrameSize(kHDMI), 1024u);
        EXPECT_THAT(forwarder.originalOutputBufferFrameSizes(), IsEmpty());
        EXPECT_FALSE(forwarder.pipelineBus(kHDMI));
        EXPECT_EQ(liveUnits(), 0) << "every unit made was disposed of";
        sim::clearFaults();
        sim::advanceTimeline(0.2);
        EXPECT_EQ(sim::framesPlayed(kHDMI), played) << "nothing plays";

        ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}}));
        EXPECT_EQ(liveUnits(), 2);
        sim::advanceTimeline(0.3);
        EXPECT_NEAR(amplitudeAt(heard(kHDMI), 0, 550.0), 0.5, 0.005);
        forwarder.stop();
        EXPECT_EQ(bufferFrameSize(kHDMI), 1024u);
    }
}

TEST_F(Forwarding, MissingDevicesFailTheStart) {
    LogCapture log;
    EXPECT_FALSE(forwarder.setOutputRoutes({{"gone", 0, 1.0f}}));
    EXPECT_TRUE(log.contains("startPipeline: ERROR output device not found uid=gone"));
    EXPECT_TRUE(log.contains("setOutputRoutes: ERROR failed to start route output=gone bus=0"));

    // The display goes as its name is read: the name falls back to the UID, and the output
    // unit cannot take the device.
    const AudioObjectID hdmi = deviceID(kHDMI);
    sim::setCallHook([&](const sim::CallInfo& call) {
        if (call.object == hdmi && call.address.mSelector == kAudioObjectPropertyName)
            (void)sim::removeDeviceByUID(kHDMI);
    });
    LogCapture vanished;
    EXPECT_FALSE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}}));
    sim::setCallHook({});
    EXPECT_EQ(liveUnits(), 0);
    EXPECT_TRUE(vanished.contains("startPipeline: ERROR set output device to " + kHDMI + ": " +
                                  std::to_string(kAudioHardwareBadDeviceError) + " (!dev)"));
    sim::advanceTimeline(0.2);

    ScopedSimWorld noDriver(sim::defaultWorld(), sim::TimelineClock::manual);
    LogCapture noVirtual;
    EXPECT_FALSE(forwarder.setOutputRoutes({{kSpeakers, 0, 1.0f}}));
    EXPECT_TRUE(noVirtual.contains("startPipeline: ERROR Sonarill virtual device not found"));
}

// A failed channel map leaves the input unit on channels 0 and 1: bus 0's sound. Harmless for
// bus 0, another device's applications for any other bus.
TEST_F(Forwarding, AFailedChannelMapFailsTheStartOfAnyBusButTheFirst) {
    fail(AudioCall::audioUnitSetProperty, kAudioOutputUnitProperty_ChannelMap);
    LogCapture log;
    EXPECT_FALSE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}}));
    EXPECT_TRUE(log.contains("startPipeline: ERROR channel map failed for bus 1: " +
                             std::to_string(kFailure)));
    EXPECT_EQ(liveUnits(), 0);
    EXPECT_EQ(bufferFrameSize(kHDMI), 1024u);

    LogCapture first;
    EXPECT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 1.0f}}));
    EXPECT_TRUE(first.contains("startPipeline: WARNING channel map failed for bus 0: " +
                               std::to_string(kFailure)));
    sim::advanceTimeline(0.5);
    EXPECT_NEAR(amplitudeAt(heard(kSpeakers), 0, 440.0), 0.5, 0.005);
}

// The device's own layout when the output format is refused: two mono buffers, left and right.
TEST_F(Forwarding, ARefusedOutputFormatPlaysInTheDevicesLayout) {
    fail(AudioCall::audioUnitSetProperty, kAudioUnitProperty_StreamFormat, kSpeakers);
    LogCapture log;
    EXPECT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 0.5f}}));
    EXPECT_TRUE(log.contains("startPipeline: WARNING set output AU input format: " +
                             std::to_string(kFailure) + ", using device default"));
    sim::advanceTimeline(0.5);
    EXPECT_NEAR(amplitudeAt(heard(kSpeakers), 0, 440.0), 0.25, 0.0025);
    EXPECT_NEAR(amplitudeAt(heard(kSpeakers), 1, 440.0), 0.25, 0.0025);
}

TEST_F(Forwarding, ANaNVolumeIsSilence) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    LogCapture log;
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, nan}}));
    EXPECT_TRUE(log.contains("  route output=" + kSpeakers + " bus=0 volume=0.0"));
    EXPECT_EQ(forwarder.pipelineVolume(kSpeakers), 0.0f);
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 1.0f}}));
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, -nan}}));
    EXPECT_EQ(forwarder.pipelineVolume(kSpeakers), 0.0f);
    sim::advanceTimeline(0.5);
    EXPECT_LT(amplitudeAt(heard(kSpeakers), 0, 440.0), 1e-6);
}

// After a failed call the running pipelines, not the last good list, decide what starts and
// stops: a pipeline the failed call started must not outlive its route and play a bus that now
// belongs to another device.
TEST_F(Forwarding, APipelineLeftByAFailedCallStopsWhenItsRouteGoes) {
    fail(AudioCall::audioUnitInitialize, {}, kHDMI);
    EXPECT_FALSE(forwarder.setOutputRoutes({{kSpeakers, 0, 1.0f}, {kHDMI, 1, 1.0f}}));
    sim::clearFaults();
    // The speakers are gone from the list; the display takes bus 0.
    ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}}));
    EXPECT_FALSE(forwarder.pipelineBus(kSpeakers));
    EXPECT_EQ(liveUnits(), 2);
    const UInt64 played = sim::framesPlayed(kSpeakers);
    sim::advanceTimeline(0.3);
    EXPECT_EQ(sim::framesPlayed(kSpeakers), played) << "the speakers play nothing any more";
}

// ... and a route whose pipeline a failed call stopped is started again, not taken as running.
TEST_F(Forwarding, ARouteWithoutAPipelineIsStartedAgain) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 1.0f}}));
    fail(AudioCall::audioUnitInitialize, {}, kSpeakers);
    EXPECT_FALSE(forwarder.setOutputRoutes({{kSpeakers, 1, 1.0f}}));
    EXPECT_FALSE(forwarder.pipelineBus(kSpeakers));
    sim::clearFaults();
    LogCapture log;
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 1.0f}}));
    EXPECT_TRUE(log.contains("startPipeline: output=" + kSpeakers + " bus=0 volume=1.0"));
    EXPECT_EQ(forwarder.pipelineBus(kSpeakers), 0);
    sim::advanceTimeline(0.5);
    EXPECT_NEAR(amplitudeAt(heard(kSpeakers), 0, 440.0), 0.5, 0.005);
}

// A failed call keeps the aligned size of a device whose new pipeline it started; whatever has
// no pipeline at the end gets its size back.
TEST_F(Forwarding, AFailedCallKeepsTheSizeOfADeviceItStartedAndStopRestoresIt) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}}));
    EXPECT_EQ(bufferFrameSize(kHDMI), 512u);
    fail(AudioCall::audioUnitInitialize, {}, kSpeakers);
    LogCapture log;
    EXPECT_FALSE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}, {kSpeakers, 0, 1.0f}}));
    EXPECT_EQ(forwarder.pipelineBus(kHDMI), 1) << "the display's new pipeline runs";
    EXPECT_EQ(bufferFrameSize(kHDMI), 512u);
    EXPECT_EQ(forwarder.originalOutputBufferFrameSizes().at(kHDMI), 1024u);
    for (const std::string& line : log.messages())
        EXPECT_THAT(line, ::testing::Not(::testing::StartsWith("stopPipeline")));
    sim::clearFaults();

    LogCapture stop;
    forwarder.stop();
    EXPECT_EQ(bufferFrameSize(kHDMI), 1024u);
    EXPECT_TRUE(
        stop.contains("stopPipeline: restored buffer frame size for uid=" + kHDMI + " to 1024"));
}

// The observer hears every record as it is made and as it goes, so a copy kept from what it heard
// always equals the forwarder's own map: a start, a failed start that gives its size back, a bus
// change that keeps the record, and the stop.
TEST_F(Forwarding, TellsItsObserverOfEveryFrameSizeRecordMadeOrDropped) {
    std::vector<std::pair<std::string, std::optional<uint32_t>>> told;
    std::map<std::string, uint32_t> kept;
    forwarder.setFrameSizeRecordObserver(
        [&](const std::string& uid, std::optional<uint32_t> original) {
            told.emplace_back(uid, original);
            if (original)
                kept[uid] = *original;
            else
                kept.erase(uid);
        });
    const auto step = [&](auto change,
                          std::vector<std::pair<std::string, std::optional<uint32_t>>> expected) {
        told.clear();
        change();
        EXPECT_EQ(told, expected);
        EXPECT_EQ(kept, forwarder.originalOutputBufferFrameSizes());
    };
    // The headset's unusual size is repaired, not recorded.
    step(
        [&] {
            EXPECT_TRUE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}, {kHeadset, 1, 1.0f}}));
        },
        {{kHDMI, 1024u}});
    step([&] { EXPECT_TRUE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}})); }, {});
    step([&] { forwarder.stop(); }, {{kHDMI, std::nullopt}});
    fail(AudioCall::audioUnitInitialize, {}, kHDMI);
    step(
        [&] {
            EXPECT_FALSE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}}));
        },
        {{kHDMI, 1024u}, {kHDMI, std::nullopt}});
    EXPECT_EQ(bufferFrameSize(kHDMI), 1024u);
}

} // namespace
