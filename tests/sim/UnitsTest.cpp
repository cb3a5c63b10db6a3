// The simulated HAL output units as Apple's API has them: the statuses a Mac gives for calls in
// the wrong order, teardown in any state, devices that change or vanish under a unit, and a stop
// that waits for the callback under way. What the devices play (each at its own clock's rate, the
// virtual device's input giving each driver cycle once however many units read it, a physical
// device summing its units and the applications that play straight to it) the forwarder's and the
// model's rows hear.

#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
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
