// The simulated HAL output units as Apple's API has them: the statuses a Mac gives for calls in
// the wrong order, teardown in any state, devices that change or vanish under a unit, a stop that
// waits for the callback under way, the virtual device's input as its driver's IO cycles give it,
// and what a physical device plays: its units and the applications that play straight to it,
// summed. That each device plays at its own clock's rate, the drift rows of the forwarder show.

#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace sonarill::testing;
namespace sim = sonarill::sim;

const AudioStreamBasicDescription kStereoFloat{
    48000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 8, 1, 8, 2, 32, 0};

// A unit made through the component, disposed of at the end of the test.
class ScopedUnit {
public:
    ScopedUnit() {
        const AudioComponentDescription description{
            kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};
        EXPECT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &description), &unit_),
                  noErr);
    }
    ~ScopedUnit() { AudioComponentInstanceDispose(unit_); }
    ScopedUnit(const ScopedUnit&) = delete;
    ScopedUnit& operator=(const ScopedUnit&) = delete;
    AudioUnit get() const { return unit_; }

    template <typename T>
    OSStatus set(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                 const T& value, UInt32 size = sizeof(T)) {
        return AudioUnitSetProperty(unit_, id, scope, element, &value, size);
    }
    OSStatus setDevice(AudioObjectID device) {
        return set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device);
    }

private:
    AudioUnit unit_ = nullptr;
};

// Notes each period's frames and plays what the buffers hold; `sleep` keeps the callback busy.
struct Player {
    std::atomic<int> periods{0};
    std::vector<UInt32> periodFrames;
    std::chrono::milliseconds sleep{0};
    std::atomic<bool> inside{false};

    static OSStatus onRender(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                             UInt32, UInt32 frames, AudioBufferList*) {
        auto* player = static_cast<Player*>(refCon);
        player->inside = true;
        player->periodFrames.push_back(frames);
        std::this_thread::sleep_for(player->sleep);
        player->inside = false;
        ++player->periods;
        return noErr;
    }
};

// Plays a sine, as the forwarder's output unit plays what it forwards.
struct TonePlayer {
    double hz = 0.0;
    double level = 0.0;

    static OSStatus onRender(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp* time,
                             UInt32, UInt32 frames, AudioBufferList* data) {
        const auto* player = static_cast<TonePlayer*>(refCon);
        auto* out = static_cast<float*>(data->mBuffers[0].mData);
        for (UInt32 i = 0; i < frames; ++i)
            out[2 * i] = out[2 * i + 1] =
                float(player->level * std::sin(2.0 * std::numbers::pi * player->hz *
                                               (time->mSampleTime + i) / 48000.0));
        return noErr;
    }
};

template <typename Player>
void startOutputUnit(ScopedUnit& unit, Player& player, AudioObjectID device) {
    ASSERT_EQ(unit.setDevice(device), noErr);
    ASSERT_EQ(unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, kStereoFloat),
              noErr);
    const AURenderCallbackStruct callback{&Player::onRender, &player};
    ASSERT_EQ(unit.set(kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, callback),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit.get()), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit.get()), noErr);
}

// Reads the virtual device's first input pair through an input unit, as the forwarder does.
struct Reader {
    AudioUnit unit = nullptr;
    std::vector<float> heard; // interleaved stereo

    static OSStatus onInput(void* refCon, AudioUnitRenderActionFlags* flags,
                            const AudioTimeStamp* time, UInt32, UInt32 frames, AudioBufferList*) {
        auto* reader = static_cast<Reader*>(refCon);
        AudioBufferList list{1, {{2, frames * 8, nullptr}}};
        if (AudioUnitRender(reader->unit, flags, time, 1, frames, &list) == noErr) {
            const auto* samples = static_cast<const float*>(list.mBuffers[0].mData);
            reader->heard.insert(reader->heard.end(), samples, samples + 2 * frames);
        }
        return noErr;
    }
    std::vector<float> last(size_t frames) const {
        return {heard.end() - std::ptrdiff_t(std::min(heard.size(), 2 * frames)), heard.end()};
    }
};

void startInputUnit(ScopedUnit& unit, Reader& reader, AudioObjectID device) {
    reader.unit = unit.get();
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, UInt32(0)),
              noErr);
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, UInt32(1)),
              noErr);
    ASSERT_EQ(unit.setDevice(device), noErr);
    ASSERT_EQ(unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, kStereoFloat),
              noErr);
    const AURenderCallbackStruct callback{&Reader::onInput, &reader};
    ASSERT_EQ(
        unit.set(kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, callback),
        noErr);
    ASSERT_EQ(AudioUnitInitialize(unit.get()), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit.get()), noErr);
}

// The applications play into the virtual device while it is the default output, each a client of
// its driver; every unit reading the device's input hears each of them once, not once per unit (a
// cycle run again for another unit would mix the clients twice), and nothing once the default
// output has moved on.
TEST(VirtualDevice, EveryInputUnitHearsTheDriversCyclesOnce) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    const AudioObjectID device = deviceID(std::string(sim::kVirtualDeviceUID));
    ASSERT_NE(device, kAudioObjectUnknown);
    pushRouteText(routeText({kSpeakersUID, kHDMIUID},
                            {{"com.apple.Music", kSpeakersUID}, {"com.apple.podcasts", kHDMIUID}}));
    ASSERT_TRUE(
        sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, sim::kVirtualDeviceUID));
    ScopedUnit units[3];
    Reader readers[3];
    for (int i = 0; i < 3; ++i)
        startInputUnit(units[i], readers[i], device);
    sim::advanceTimeline(0.5);
    for (const Reader& reader : readers) {
        const std::vector<float> bus0 = reader.last(9600);
        EXPECT_NEAR(amplitudeAt(bus0, 0, 440.0), 0.5, 0.01) << "routed to bus 0";
        EXPECT_NEAR(amplitudeAt(bus0, 1, 660.0), 0.5, 0.01) << "unrouted: bus 0";
        EXPECT_NEAR(amplitudeAt(bus0, 0, 550.0), 0.0, 0.01) << "on bus 1";
    }
    ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, kSpeakersUID));
    sim::advanceTimeline(0.5);
    EXPECT_NEAR(amplitudeAt(readers[0].last(9600), 0, 440.0), 0.0, 0.01);
}

// A physical device plays in cycles of its own: the output units started on it and the
// applications, which play straight to the default output while that is not the virtual device,
// summed frame by frame, one cycle after the other (a second writer would play twice the frames,
// each block of one of them). Each row: the default output, a unit's tone on the speakers (0: no
// unit), then the tones heard and the frames played on devices in 100.5 times 512 frames' time;
// in the last the default output is unplugged halfway, and the applications move on with it.
TEST(PhysicalDevice, PlaysItsUnitsAndTheApplicationsSummed) {
    using Heard = std::tuple<const char*, double, double>; // uid, hz, level
    struct Row {
        const char* name;
        std::string_view defaultOutput;
        double unitHz;
        std::vector<Heard> heard;
        std::vector<std::pair<const char*, UInt64>> frames;
        const char* unplugHalfway = nullptr; // a device unplugged after 0.5 s
    };
    const Row rows[] = {
        {"TheAppsFollowTheDefaultOutput",
         kHeadsetUID,
         0.0,
         {{kHeadsetUID, 440.0, 0.5}, {kHeadsetUID, 660.0, 0.5}, {kSpeakersUID, 440.0, 0.0}},
         {{kHeadsetUID, 51456}, {kSpeakersUID, 0}}}, // the headset's cycles are 256 frames
        {"AUnitAndTheAppsOnOneDevice",
         kSpeakersUID,
         1000.0,
         {{kSpeakersUID, 440.0, 0.5}, {kSpeakersUID, 550.0, 0.5}, {kSpeakersUID, 1000.0, 0.25}},
         {{kSpeakersUID, 51200}}},
        {"AUnitAloneWhileTheVirtualDeviceIsTheDefault",
         sim::kVirtualDeviceUID,
         1000.0,
         {{kSpeakersUID, 440.0, 0.0}, {kSpeakersUID, 1000.0, 0.25}},
         {{kSpeakersUID, 51200}}},
        {"TheAppsMoveOnWhenTheDefaultOutputIsUnplugged",
         kHeadsetUID,
         0.0,
         {{kSpeakersUID, 440.0, 0.5}, {kSpeakersUID, 550.0, 0.5}},
         {{kHeadsetUID, 93 * 256}, {kSpeakersUID, 53 * 512}},
         kHeadsetUID},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
        ASSERT_TRUE(
            sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, row.defaultOutput));
        ScopedUnit unit;
        TonePlayer player{row.unitHz, 0.25};
        if (row.unitHz > 0.0)
            startOutputUnit(unit, player, kSpeakers);
        const double seconds = 100.5 * 512.0 / 48000.0;
        if (row.unplugHalfway != nullptr) {
            sim::advanceTimeline(0.5);
            ASSERT_TRUE(sim::removeDeviceByUID(row.unplugHalfway));
        }
        sim::advanceTimeline(row.unplugHalfway != nullptr ? seconds - 0.5 : seconds);
        for (const auto& [uid, hz, level] : row.heard)
            EXPECT_NEAR(amplitudeAt(sim::recentlyPlayed(uid, 4800), 0, hz), level, 0.01)
                << uid << " at " << hz << " Hz";
        for (const auto& [uid, frames] : row.frames)
            EXPECT_EQ(sim::framesPlayed(uid), frames) << uid;
    }
}

// Rows run in order, each on the state the rows above left: a unit without a device, an output
// unit initialized and started (disposed of running, by its destructor), an input unit.
TEST(UnitLifecycle, CallsInTheWrongOrderGetAMacsStatusesAndTeardownIsSafeInAnyState) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    const UInt32 on = 1, off = 0;
    UInt32 running = 0, size = sizeof running;
    AudioTimeStamp time{};
    float buffer[8] = {};
    AudioBufferList list{1, {{2, sizeof buffer, buffer}}};
    AudioStreamBasicDescription planar = kStereoFloat;
    planar.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    ScopedUnit fresh, output, input;
    const std::pair<OSStatus, OSStatus> cases[] = {
        {AudioOutputUnitStart(fresh.get()), kAudioUnitErr_Uninitialized},
        {AudioUnitRender(fresh.get(), nullptr, &time, 1, 1, &list), kAudioUnitErr_Uninitialized},
        {AudioUnitInitialize(fresh.get()), kAudioUnitErr_FailedInitialization},
        {fresh.setDevice(999), kAudioHardwareBadDeviceError},
        {fresh.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Global, 0, on),
         kAudioUnitErr_InvalidScope},
        {fresh.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 0, on),
         kAudioUnitErr_InvalidElement},
        {fresh.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on, 2),
         kAudio_ParamError},
        {fresh.set(123456, kAudioUnitScope_Global, 0, on), kAudioUnitErr_InvalidProperty},
        {fresh.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, planar),
         kAudioUnitErr_FormatNotSupported},
        {fresh.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, kStereoFloat),
         kAudioUnitErr_PropertyNotWritable},
        {AudioOutputUnitStop(fresh.get()), noErr},
        {AudioUnitUninitialize(fresh.get()), noErr},

        {output.setDevice(kSpeakers), noErr},
        {AudioUnitInitialize(output.get()), noErr},
        {output.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on),
         kAudioUnitErr_Initialized},
        {output.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, kStereoFloat),
         kAudioUnitErr_Initialized},
        // An output unit has no input to render.
        {AudioUnitRender(output.get(), nullptr, &time, 1, 1, &list), kAudioUnitErr_NoConnection},
        {AudioOutputUnitStart(output.get()), noErr},
        {AudioUnitGetProperty(output.get(), kAudioOutputUnitProperty_IsRunning,
                              kAudioUnitScope_Global, 0, &running, &size),
         noErr},
        {output.set(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, on),
         kAudioUnitErr_PropertyNotWritable},

        {input.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, off), noErr},
        {input.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on), noErr},
        {input.setDevice(kSpeakers), noErr},
        {AudioUnitInitialize(input.get()), kAudioUnitErr_NoConnection}, // the speakers: no input
        {AudioComponentInstanceDispose(nullptr), kAudio_ParamError},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "row " << i;
    EXPECT_EQ(running, 1u);
}

// A new buffer size applies from the next period; a unit on an unplugged device stops calling
// back and cannot start again.
TEST(UnitDevices, SizeChangesAndUnplugsAsAMacHasThem) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    ScopedUnit speakers, headset;
    Player onSpeakers, onHeadset;
    startOutputUnit(speakers, onSpeakers, kSpeakers);
    startOutputUnit(headset, onHeadset, kHeadset);
    sim::advanceTimeline(512.0 / 48000.0 * 2.5);
    const AudioObjectPropertyAddress frames{kAudioDevicePropertyBufferFrameSize,
                                            kAudioObjectPropertyScopeGlobal, 0};
    const UInt32 smaller = 256;
    ASSERT_EQ(AudioObjectSetPropertyData(kSpeakers, &frames, 0, nullptr, 4, &smaller), noErr);
    ASSERT_TRUE(sim::removeDeviceByUID(kHeadsetUID));
    const int headsetPeriods = onHeadset.periods;
    EXPECT_GT(headsetPeriods, 0);
    sim::advanceTimeline(0.02);
    EXPECT_THAT(onSpeakers.periodFrames, ::testing::ElementsAre(512, 512, 512, 256, 256));
    EXPECT_EQ(onHeadset.periods, headsetPeriods);
    EXPECT_EQ(AudioOutputUnitStop(headset.get()), noErr);
    EXPECT_EQ(AudioOutputUnitStart(headset.get()), kAudioHardwareBadDeviceError);
}

// On the real-time clock: stop waits for a callback under way, and each device something played
// to has its recording. No application plays, so the speakers play the unit alone.
TEST(UnitRealTime, StopWaitsForTheCallbackUnderWay) {
    sim::World world = worldWithDriver();
    world.apps.clear();
    const ScopedSimWorld scoped(world, sim::TimelineClock::realTime);
    world.recordDir = (scoped.dataHome() / "recordings").string();
    ASSERT_TRUE(sim::resetWorld(world, sim::TimelineClock::realTime));
    ScopedUnit unit;
    Player player;
    player.sleep = 2ms;
    startOutputUnit(unit, player, kSpeakers);
    while (player.periods < 20)
        std::this_thread::sleep_for(5ms);
    while (!player.inside) // stop while the callback is likely inside its sleep
        std::this_thread::yield();
    ASSERT_EQ(AudioOutputUnitStop(unit.get()), noErr);
    EXPECT_FALSE(player.inside) << "stop returned while the callback still ran";
    const int periods = player.periods;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(player.periods, periods);
    EXPECT_EQ(sim::framesPlayed(kSpeakersUID), UInt64(periods) * 512);

    sim::flushRecordings();
    const auto recordings = std::filesystem::directory_iterator(world.recordDir);
    EXPECT_THAT(std::vector<std::filesystem::path>(begin(recordings), end(recordings)),
                ::testing::ElementsAre(std::filesystem::path(world.recordDir) /
                                       "BuiltInSpeakerDevice.wav"));
}

} // namespace
