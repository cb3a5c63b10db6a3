// The forwarder against the simulated audio system on the manual clock: what each device plays,
// the log lines, the clean-up of every failed start, and the buffer frame sizes given back.

#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <vector>

// The units that exist: the executable links with GNU ld's --wrap for both calls, so every unit
// the forwarder makes and disposes of is counted. The nth creation from a call of
// failUnitCreation fails, once: the simulation's faults cannot tell one creation from the next.
namespace {
std::atomic<int> gLiveUnits{0}, gCreationsBeforeFailure{0};
int liveUnits() {
    return gLiveUnits.load();
}
void failUnitCreation(int nth) {
    gCreationsBeforeFailure = nth;
}
} // namespace

extern "C" {
OSStatus __real_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out);
OSStatus __real_AudioComponentInstanceDispose(AudioComponentInstance unit);
OSStatus __wrap_AudioComponentInstanceNew(AudioComponent component, AudioComponentInstance* out) {
    if (gCreationsBeforeFailure.load() > 0 && --gCreationsBeforeFailure == 0)
        return kAudio_ParamError;
    const OSStatus status = __real_AudioComponentInstanceNew(component, out);
    gLiveUnits += status == noErr;
    return status;
}
OSStatus __wrap_AudioComponentInstanceDispose(AudioComponentInstance unit) {
    const OSStatus status = __real_AudioComponentInstanceDispose(unit);
    gLiveUnits -= status == noErr; // a handle that is no unit counts nothing
    return status;
}
}

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using forwarder::OutputRoute;
using sim::AudioCall;
using ::testing::ElementsAre;

const auto* const home = addScratchHome();

const std::string kSpeakers = kSpeakersUID;
const std::string kHDMI = kHDMIUID;       // "LG HDMI", 1024 frames: matched to 512 and recorded
const std::string kHeadset = kHeadsetUID; // 256 frames: an unusual size, recovered to 512
constexpr OSStatus kFailure = -1234;
const std::string kFailed = ": " + std::to_string(kFailure);

void fail(AudioCall call, std::optional<std::string> uid = {},
          std::optional<AudioUnitPropertyID> property = {},
          std::optional<AudioUnitScope> scope = {}) {
    sim::injectFault(
        {.call = call, .uid = uid, .property = property, .scope = scope, .status = kFailure});
}

// The amplitude of bus 0's tone (Music, 440 Hz) or bus 1's (Podcasts, 550 Hz) in what the device
// played in the last 0.1 s: whole cycles of both.
double tone(const std::string& uid, int64_t bus, int channel = 0) {
    return amplitudeAt(sim::recentlyPlayed(uid, 4800), channel, bus == 0 ? 440.0 : 550.0);
}

// Each device plays its own bus at its volume, on both channels, and nothing else.
void expectHeard(float speakers, float hdmi) {
    for (int channel : {0, 1}) {
        EXPECT_NEAR(tone(kSpeakers, 0, channel), 0.5 * speakers, 0.005 * speakers + 1e-6);
        EXPECT_LT(tone(kSpeakers, 1, channel), 0.001) << "the display's tone";
        EXPECT_NEAR(tone(kHDMI, 1, channel), 0.5 * hdmi, 0.005 * hdmi + 1e-6);
        EXPECT_LT(tone(kHDMI, 0, channel), 0.001) << "the speakers' tone";
    }
}

class Forwarding : public ::testing::Test {
protected:
    void SetUp() override { pushRoutes(); }
    static void pushRoutes() {
        pushRouteText(routeText({kSpeakers, kHDMI},
                                {{"com.apple.Music", kSpeakers}, {"com.apple.podcasts", kHDMI}}));
    }

    ScopedSimWorld world{worldWithDriver(), sim::TimelineClock::manual};
    forwarder::AudioForwarder forwarder; // stopped before the world goes
};

TEST_F(Forwarding, LogsEveryStepAndGivesTheMatchedSizeBackAtStop) {
    LogCapture log;
    // A route without a device and a second route to one device are dropped; the first stays.
    ASSERT_TRUE(forwarder.setOutputRoutes(
        {{kHDMI, 1, 0.5f}, {kHeadset, -2, 1.5f}, {"", 0, 1}, {kHDMI, 0, 0.25f}}));
    EXPECT_EQ(bufferFrameSize(kHeadset), 512u);
    forwarder.stop();
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

// Each row: the volume both routes are then given, as logged (the shortest text that reads back
// as the same float), and as played (NaN is silence).
TEST_F(Forwarding, EachDevicePlaysItsBusAtItsVolumeAndAVolumeChangeTouchesNoUnit) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, 0.8f}, {kHDMI, 1, 0.5f}}));
    sim::advanceTimeline(1.0);
    expectHeard(0.8f, 0.5f);
    // Any unit call would fail now.
    fail(AudioCall::audioComponentInstanceNew);
    fail(AudioCall::audioUnitSetProperty);
    fail(AudioCall::audioOutputUnitStop);
    struct Row {
        float given;
        std::string logged;
        float played;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Row& row :
         {Row{0.1f, "0.1", 0.1f}, Row{0.99999994f, "0.99999994", 0.99999994f},
          Row{1.5f, "1.0", 1.0f}, Row{nan, "0.0", 0.0f}, Row{-0.2f, "0.0", 0.0f}}) {
        SCOPED_TRACE(row.given);
        LogCapture log;
        EXPECT_TRUE(forwarder.setOutputRoutes({{kSpeakers, 0, row.given}, {kHDMI, 1, row.given}}));
        EXPECT_THAT(log.messages(),
                    ElementsAre("setOutputRoutes: requested 2 route(s)",
                                "  route output=" + kSpeakers + " bus=0 volume=" + row.logged,
                                "  route output=" + kHDMI + " bus=1 volume=" + row.logged));
        sim::advanceTimeline(0.2);
        expectHeard(row.played, row.played);
    }

    // The same routes in another order: no fast path, but nothing to start (it would fail).
    LogCapture reordered;
    EXPECT_TRUE(forwarder.setOutputRoutes({{kHDMI, 1, 1.0f}, {kSpeakers, 0, 0.25f}}));
    EXPECT_THAT(forwarder.currentOutputUIDs(), ElementsAre(kHDMI, kSpeakers));
    EXPECT_EQ(forwarder.pipelineVolume(kSpeakers), 0.25f);
    EXPECT_TRUE(reordered.contains("setOutputRoutes: running with outputs [\"" + kHDMI + "\", \"" +
                                   kSpeakers + "\"]"));
}

TEST_F(Forwarding, ABusChangeStartsTheNewPipelineBeforeStoppingTheOld) {
    ASSERT_TRUE(forwarder.setOutputRoutes({{kHDMI, 0, 1.0f}}));
    sim::advanceTimeline(0.3);
    // While the new pipeline aligns the device, the old one still plays.
    std::optional<UInt64> playedBefore, playedDuring;
    sim::setCallHook([&, hdmi = deviceID(kHDMI)](const sim::CallInfo& call) {
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
    EXPECT_TRUE(log.contains("startPipeline: buffer frame size already aligned at 512"));
}

// Each row: how one step of a start goes wrong and the line logged. A failing step undoes exactly
// what came before it: no unit is left (one left running would call into the freed pipeline,
// which AddressSanitizer reports), nothing plays, and the device gets its size back. A warning
// plays on: a failed channel map leaves bus 0's channels, which is harmless only for bus 0; a
// refused output format plays in the device's layout (two mono buffers).
TEST_F(Forwarding, EveryStartFaultUndoesWhatItDidOrPlaysOnWithAWarning) {
    struct Row {
        std::string line; // after "startPipeline: "
        std::function<void()> arrange;
        OutputRoute route{kHDMI, 1, 1.0f};
        bool plays = false;
    };
    const auto unit = [](AudioCall call, std::optional<AudioUnitPropertyID> property,
                         std::optional<std::string> uid = {},
                         std::optional<AudioUnitScope> scope = {}) {
        return [=] { fail(call, uid, property, scope); };
    };
    using Call = AudioCall;
    const OutputRoute speakers{kSpeakers, 0, 1.0f};
    const std::vector<Row> rows = {
        {"ERROR Sonarill virtual device not found",
         [] { (void)sim::resetWorld(sim::defaultWorld(), sim::TimelineClock::manual); }},
        {"ERROR output device not found uid=gone", [] {}, {"gone", 0, 1.0f}},
        {"ERROR failed to create input audio unit", unit(Call::audioComponentInstanceNew, {})},
        {"ERROR disable output IO on input AU" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioOutputUnitProperty_EnableIO, {},
              kAudioUnitScope_Output)},
        {"ERROR enable input IO on input AU" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioOutputUnitProperty_EnableIO, {},
              kAudioUnitScope_Input)},
        {"ERROR set input device to Sonarill" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioOutputUnitProperty_CurrentDevice)},
        {"ERROR channel map failed for bus 1" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioOutputUnitProperty_ChannelMap)},
        {"WARNING channel map failed for bus 0" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioOutputUnitProperty_ChannelMap), speakers, true},
        {"ERROR set input AU output format" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioUnitProperty_StreamFormat,
              "Sonarill_OutputDevice")},
        {"ERROR set input callback" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioOutputUnitProperty_SetInputCallback)},
        {"ERROR initialize input AU" + kFailed,
         unit(Call::audioUnitInitialize, {}, "Sonarill_OutputDevice")},
        {"ERROR failed to create output audio unit", [] { failUnitCreation(2); }},
        // The display goes as its name is read: the name falls back to the UID.
        {"ERROR set output device to " + kHDMI + ": " +
             std::to_string(kAudioHardwareBadDeviceError) + " (!dev)",
         [] {
             sim::setCallHook([hdmi = deviceID(kHDMI)](const sim::CallInfo& call) {
                 if (call.object == hdmi && call.address.mSelector == kAudioObjectPropertyName)
                     (void)sim::removeDeviceByUID(kHDMI);
             });
         }},
        {"WARNING set output AU input format" + kFailed + ", using device default",
         unit(Call::audioUnitSetProperty, kAudioUnitProperty_StreamFormat, kSpeakers), speakers,
         true},
        {"ERROR set render callback" + kFailed,
         unit(Call::audioUnitSetProperty, kAudioUnitProperty_SetRenderCallback)},
        {"ERROR initialize output AU" + kFailed, unit(Call::audioUnitInitialize, {}, kHDMI)},
        {"ERROR start input AU" + kFailed,
         unit(Call::audioOutputUnitStart, {}, "Sonarill_OutputDevice")},
        {"ERROR start output AU" + kFailed, unit(Call::audioOutputUnitStart, {}, kHDMI)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        row.arrange();
        LogCapture log;
        const UInt64 played = sim::framesPlayed(kHDMI);
        EXPECT_EQ(forwarder.setOutputRoutes({row.route}), row.plays);
        EXPECT_TRUE(log.contains("startPipeline: " + row.line));
        sim::clearFaults();
        sim::setCallHook({});
        sim::advanceTimeline(0.3);
        if (row.plays) {
            for (int channel : {0, 1})
                EXPECT_NEAR(tone(kSpeakers, 0, channel), 0.5, 0.005);
            forwarder.stop();
            continue;
        }
        EXPECT_TRUE(log.contains(
            "setOutputRoutes: ERROR failed to start route output=" + row.route.outputUID +
            " bus=" + std::to_string(row.route.inputBus)));
        EXPECT_EQ(liveUnits(), 0) << "every unit made was disposed of";
        EXPECT_EQ(sim::framesPlayed(kHDMI), played) << "nothing plays";
        EXPECT_TRUE(deviceID(kHDMI) == kAudioObjectUnknown || bufferFrameSize(kHDMI) == 1024u)
            << "the display, where it is still there, has its size back";

        // Restarts after a failed call are the scenario below.
        (void)sim::resetWorld(worldWithDriver(), sim::TimelineClock::manual);
        pushRoutes();
    }
}

// A scenario of calls, some failing as the named device's output unit is initialised. The
// running pipelines, not the last list that succeeded, decide what starts and stops: a pipeline
// a failed call started must not outlive its route (it would play a bus that now belongs to
// another device), and a route whose pipeline a failed call stopped is started again, not taken
// as running. A failed call keeps the aligned size of a device whose new pipeline it started;
// whatever has no pipeline at the end gets its size back. The observer hears every size record
// as it is made and as it goes, so a copy kept from what it heard equals the forwarder's own.
TEST_F(Forwarding, AfterEachCallOnlyItsPipelinesPlayAndTheSizeRecordsFollowThem) {
    using Told = std::vector<std::pair<std::string, std::optional<uint32_t>>>;
    Told told;
    std::map<std::string, uint32_t> kept;
    forwarder.setFrameSizeRecordObserver([&](const std::string& uid, std::optional<uint32_t> size) {
        told.emplace_back(uid, size);
        size ? void(kept[uid] = *size) : void(kept.erase(uid));
    });
    struct Step {
        std::vector<OutputRoute> routes; // none: stop
        std::optional<std::string> failing;
        bool ok;
        std::map<std::string, int64_t> buses; // the pipelines that run, by device
        UInt32 hdmiSize;
        Told told;
        UInt32 hdmiSizeBefore = 0; // set by another application before the call, where not 0
    };
    // clang-format off
    const std::vector<Step> steps = {
        // The headset's unusual size is repaired, not recorded.
        {{{kHDMI, 0, 1}, {kHeadset, 1, 1}}, {}, true,
         {{kHDMI, 0}, {kHeadset, 1}}, 512, {{kHDMI, 1024u}}},
        // The display's new pipeline and the speakers' start before the headset fails.
        {{{kHDMI, 1, 1}, {kSpeakers, 0, 1}, {kHeadset, 0, 1}}, kHeadset, false,
         {{kHDMI, 1}, {kSpeakers, 0}}, 512, {}},
        {{{kHDMI, 0, 1}}, {}, true, {{kHDMI, 0}}, 512, {}},
        // Left on bus 1 by a failed call, the display must not be taken as playing bus 0 ...
        {{{kHDMI, 1, 1}, {kSpeakers, 0, 1}}, kSpeakers, false, {{kHDMI, 1}}, 512, {}},
        {{{kHDMI, 0, 1}}, {}, true, {{kHDMI, 0}}, 512, {}},
        // ... nor the speakers, started by a failed call, as gone.
        {{{kHDMI, 0, 1}, {kSpeakers, 1, 1}, {kHeadset, 0, 1}}, kHeadset, false,
         {{kHDMI, 0}, {kSpeakers, 1}}, 512, {}},
        {{{kHDMI, 0, 1}}, {}, true, {{kHDMI, 0}}, 512, {}},
        // ... nor the display, stopped by a failed call, as running.
        {{{kHDMI, 1, 1}}, kHDMI, false, {}, 1024, {{kHDMI, std::nullopt}}},
        {{{kHDMI, 0, 1}}, {}, true, {{kHDMI, 0}}, 512, {{kHDMI, 1024u}}},
        // Another application gave the display 2048 frames: matched anew, the first record kept.
        {{{kHDMI, 1, 1}}, {}, true, {{kHDMI, 1}}, 512, {}, 2048},
        {{}, {}, true, {}, 1024, {{kHDMI, std::nullopt}}},
        // A failed start gives back the size it matched.
        {{{kHDMI, 0, 1}}, kHDMI, false, {}, 1024, {{kHDMI, 1024u}, {kHDMI, std::nullopt}}},
    };
    // clang-format on
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        if (step.failing)
            fail(AudioCall::audioUnitInitialize, step.failing);
        if (step.hdmiSizeBefore) {
            EXPECT_EQ(audio::writeUInt32Property(deviceID(kHDMI),
                                                 kAudioDevicePropertyBufferFrameSize,
                                                 step.hdmiSizeBefore),
                      noErr);
        }
        told.clear();
        EXPECT_EQ(forwarder.setOutputRoutes(step.routes), step.ok);
        sim::clearFaults();
        EXPECT_EQ(told, step.told);
        EXPECT_EQ(kept, forwarder.originalOutputBufferFrameSizes());
        EXPECT_EQ(bufferFrameSize(kHDMI), step.hdmiSize);
        EXPECT_EQ(liveUnits(), int(2 * step.buses.size()));
        std::map<std::string, UInt64> played;
        for (const std::string& uid : {kSpeakers, kHDMI, kHeadset})
            played[uid] = sim::framesPlayed(uid);
        sim::advanceTimeline(0.3);
        for (const std::string& uid : {kSpeakers, kHDMI, kHeadset}) {
            const auto bus = step.buses.find(uid);
            EXPECT_EQ(forwarder.pipelineBus(uid),
                      bus == step.buses.end() ? std::nullopt : std::optional(bus->second))
                << uid;
            if (bus == step.buses.end())
                EXPECT_EQ(sim::framesPlayed(uid), played[uid]) << uid << " plays nothing";
            else
                EXPECT_NEAR(tone(uid, bus->second), 0.5, 0.005) << uid;
        }
    }
}

} // namespace
