// The simulated HAL output units as Apple's API has them: the statuses a Mac gives for calls in
// the wrong order, teardown in any state, devices that change or vanish under a unit, and a stop
// that waits for the callback under way. What the devices play (each at its own clock's rate, the
// virtual device's input giving each driver cycle once however many units read it, a physical
// device summing its units and the applications that play straight to it) the forwarder's and the
// model's rows hear.

#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/SimWorld.h"
#include "support/TextTables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
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
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device),
              noErr);
    ASSERT_EQ(unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, kStereoFloat),
              noErr);
    const AURenderCallbackStruct callback{&Player::onRender, &player};
    ASSERT_EQ(unit.set(kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, callback),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit.get()), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit.get()), noErr);
}

// The rows of tests/scenarios/sim/unit-calls.json run in order, each on the state the rows above
// left: a unit without a device, an output unit initialized and started (disposed of running, by
// its destructor), an input unit.
TEST(UnitLifecycle, CallsInTheWrongOrderGetAMacsStatusesAndTeardownIsSafeInAnyState) {
    ScopedSimWorld world(worldWithDriver(), sim::TimelineClock::manual);
    std::map<std::string, ScopedUnit> units;
    const std::map<std::string, OSStatus (*)(AudioUnit)> calls = {
        {"AudioOutputUnitStart", AudioOutputUnitStart},
        {"AudioOutputUnitStop", AudioOutputUnitStop},
        {"AudioUnitInitialize", AudioUnitInitialize},
        {"AudioUnitUninitialize", AudioUnitUninitialize},
        {"AudioComponentInstanceDispose", AudioComponentInstanceDispose}};
    AudioTimeStamp time{};
    float buffer[8] = {};
    AudioBufferList list{1, {{2, sizeof buffer, buffer}}};
    AudioStreamBasicDescription planar = kStereoFloat;
    planar.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    for (const DataRow& row : readRows(SONARILL_TABLES "/unit-calls.json")) {
        SCOPED_TRACE("row " + row.name);
        ASSERT_EQ(row.problem, "");
        const nlohmann::json& r = row.value;
        knownKeysOnly(r, {"name", "why", "unit", "call", "property", "scope", "element", "value",
                          "bytes", "status"});
        const AudioUnit unit = r.contains("unit") ? units[r["unit"]].get() : nullptr;
        const std::string call = r.at("call");
        const nlohmann::json value = r.value("value", nlohmann::json(0));
        const UInt32 scope = r.value("scope", 0u), element = r.value("element", 0u);
        UInt32 number = value.is_number() ? UInt32(value) : 0, read = 0, size = sizeof read;
        const void* data = value.is_number()   ? static_cast<const void*>(&number)
                           : value == "planar" ? &planar
                                               : &kStereoFloat;
        OSStatus status = noErr;
        if (calls.contains(call)) {
            status = calls.at(call)(unit);
        } else if (call == "AudioUnitRender") {
            status = AudioUnitRender(unit, nullptr, &time, 1, 1, &list);
        } else if (call == "AudioUnitGetProperty") {
            status = AudioUnitGetProperty(unit, r.at("property"), scope, element, &read, &size);
            EXPECT_EQ(read, number);
        } else {
            ASSERT_EQ(call, "AudioUnitSetProperty");
            size = r.value("bytes", value.is_number() ? 4u : UInt32(sizeof planar));
            status = AudioUnitSetProperty(unit, r.at("property"), scope, element, data, size);
        }
        EXPECT_EQ(status, r.at("status").get<OSStatus>());
    }
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
