// The simulated HAL output units through Apple's API: sound from the driver's mix through an
// input unit, sound from an output unit into what a device played, the statuses a Mac gives for
// calls in the wrong order, injected faults, and devices that change or vanish under a unit.

#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using sonarill::sim::AudioCall;
using sonarill::sim::Fault;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldWithDriver;

using sonarill::testing::amplitudeAt;
using sonarill::testing::deviceID;
using sonarill::testing::kHeadsetUID;
using sonarill::testing::kSpeakersUID;
using sonarill::testing::pushRouteText;

AudioStreamBasicDescription forwardingFormat() {
    return {48000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 8, 1, 8, 2, 32, 0};
}

double peak(const std::vector<float>& samples) {
    double most = 0;
    for (float sample : samples)
        most = std::max(most, double(std::fabs(sample)));
    return most;
}

// Music (440 Hz at level 0.5) to the headset, the second active device: bus 1.
const std::string kMusicOnHeadset = std::string("devices:\n"
                                                "- uid: \"") +
                                    kSpeakersUID +
                                    "\"\n  name: \"S\"\n  enabled: true\n  sort_order: 0\n"
                                    "  master_volume: 0.300000\n"
                                    "- uid: \"" +
                                    kHeadsetUID +
                                    "\"\n  name: \"H\"\n  enabled: true\n  sort_order: 1\n"
                                    "  master_volume: 1.000000\n"
                                    "app_routes:\n"
                                    "- bundle_id: \"com.apple.Music\"\n  device_uid: \"" +
                                    kHeadsetUID + "\"\n  volume: 0.500000\n";

// A unit made through the component, disposed of at the end of the test.
class ScopedUnit {
public:
    ScopedUnit() {
        const AudioComponentDescription description{
            kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};
        const AudioComponent component = AudioComponentFindNext(nullptr, &description);
        EXPECT_NE(component, nullptr);
        EXPECT_EQ(AudioComponentInstanceNew(component, &unit_), noErr);
    }
    ~ScopedUnit() { AudioComponentInstanceDispose(unit_); }
    ScopedUnit(const ScopedUnit&) = delete;
    ScopedUnit& operator=(const ScopedUnit&) = delete;
    AudioUnit get() const { return unit_; }

    OSStatus set(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                 const void* data, UInt32 size) {
        return AudioUnitSetProperty(unit_, id, scope, element, data, size);
    }
    template <typename T>
    OSStatus set(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                 const T& value) {
        return set(id, scope, element, &value, sizeof value);
    }

private:
    AudioUnit unit_ = nullptr;
};

// What an input unit's callback pulled, period by period.
struct Capture {
    AudioUnit unit = nullptr;
    std::vector<float> samples;
    std::vector<UInt32> periodFrames;
    OSStatus lastStatus = noErr;

    static OSStatus onInput(void* refCon, AudioUnitRenderActionFlags* flags,
                            const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                            AudioBufferList* data) {
        auto* capture = static_cast<Capture*>(refCon);
        EXPECT_EQ(data, nullptr) << "input callbacks get no buffers";
        std::vector<float> scratch(size_t(frames) * 2);
        AudioBufferList list{1, {{2, frames * 8, scratch.data()}}};
        capture->lastStatus = AudioUnitRender(capture->unit, flags, time, bus, frames, &list);
        capture->periodFrames.push_back(frames);
        if (capture->lastStatus == noErr)
            capture->samples.insert(capture->samples.end(), scratch.begin(), scratch.end());
        return noErr;
    }
};

// Sets a unit up to read the virtual device's channels `map` into `capture`, and starts it.
void startInputUnit(ScopedUnit& unit, Capture& capture, std::vector<SInt32> map) {
    capture.unit = unit.get();
    const UInt32 off = 0, on = 1;
    const AudioObjectID virtualDevice = deviceID(std::string(sonarill::sim::kVirtualDeviceUID));
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, off), noErr);
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on), noErr);
    ASSERT_EQ(
        unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, virtualDevice),
        noErr);
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output, 1, map.data(),
                       UInt32(map.size() * sizeof(SInt32))),
              noErr);
    ASSERT_EQ(
        unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, forwardingFormat()),
        noErr);
    const AURenderCallbackStruct callback{&Capture::onInput, &capture};
    ASSERT_EQ(
        unit.set(kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, callback),
        noErr);
    ASSERT_EQ(AudioUnitInitialize(unit.get()), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit.get()), noErr);
}

// A sine of `hz` at `level` in the layout the output unit asks for.
struct Tone {
    double hz = 1000.0;
    float level = 0.5f;
    double phase = 0.0;
    std::atomic<int> periods{0};
    std::vector<UInt32> bufferCounts;
    std::chrono::milliseconds sleep{0};
    std::atomic<bool> inside{false};

    static OSStatus onRender(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                             UInt32, UInt32 frames, AudioBufferList* data) {
        auto* tone = static_cast<Tone*>(refCon);
        tone->inside = true;
        tone->bufferCounts.push_back(data->mNumberBuffers);
        for (UInt32 frame = 0; frame < frames; ++frame) {
            const float sample = tone->level * float(std::sin(tone->phase));
            tone->phase += 2.0 * M_PI * tone->hz / 48000.0;
            for (UInt32 b = 0; b < data->mNumberBuffers; ++b) {
                AudioBuffer& buffer = data->mBuffers[b];
                auto* out = static_cast<float*>(buffer.mData);
                for (UInt32 c = 0; c < buffer.mNumberChannels; ++c)
                    out[frame * buffer.mNumberChannels + c] = sample;
            }
        }
        std::this_thread::sleep_for(tone->sleep);
        tone->inside = false;
        ++tone->periods;
        return noErr;
    }
};

void startOutputUnit(ScopedUnit& unit, Tone& tone, AudioObjectID device, bool setFormat = true) {
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device),
              noErr);
    if (setFormat) {
        ASSERT_EQ(
            unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, forwardingFormat()),
            noErr);
    }
    const AURenderCallbackStruct callback{&Tone::onRender, &tone};
    ASSERT_EQ(unit.set(kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, callback),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(unit.get()), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit.get()), noErr);
}

} // namespace

TEST(UnitSound, ARoutedToneReachesOnlyTheInputPairOfItsDevicesBus) {
    ScopedSimWorld world(worldWithDriver(), sonarill::sim::TimelineClock::manual);
    pushRouteText(kMusicOnHeadset);
    const std::vector<std::vector<SInt32>> maps = {{2, 3}, {0, 1}, {4, 5}, {3, -1}};
    std::vector<Capture> captures(maps.size());
    std::vector<std::unique_ptr<ScopedUnit>> units;
    for (size_t i = 0; i < maps.size(); ++i) {
        units.push_back(std::make_unique<ScopedUnit>());
        startInputUnit(*units.back(), captures[i], maps[i]);
    }
    sonarill::sim::advanceTimeline(0.5);

    // 0.5 s of 512-frame periods: 46 whole periods.
    for (const Capture& capture : captures) {
        EXPECT_EQ(capture.periodFrames.size(), 46u);
        EXPECT_EQ(capture.samples.size(), 46u * 512 * 2);
    }
    // Level 0.5 at route volume 0.5; the device's master volume is the forwarder's business.
    EXPECT_NEAR(amplitudeAt(captures[0].samples, 0, 440.0), 0.25, 0.01);
    EXPECT_NEAR(amplitudeAt(captures[0].samples, 1, 440.0), 0.25, 0.01);
    EXPECT_LT(amplitudeAt(captures[0].samples, 0, 550.0), 0.01) << "only Music is routed";
    EXPECT_EQ(peak(captures[1].samples), 0.0) << "bus 0: nothing routed to the speakers";
    EXPECT_EQ(peak(captures[2].samples), 0.0) << "bus 2: no third active device";
    // A map picks channels one by one; -1 leaves a channel silent.
    EXPECT_NEAR(amplitudeAt(captures[3].samples, 0, 440.0), 0.25, 0.01);
    EXPECT_EQ(amplitudeAt(captures[3].samples, 1, 440.0), 0.0);
}

TEST(UnitSound, AnOutputUnitsSoundIsWhatItsDevicePlayedInEitherLayout) {
    ScopedSimWorld world(worldWithDriver(), sonarill::sim::TimelineClock::manual);
    ScopedUnit interleaved, planar;
    Tone tone{.hz = 1000.0, .level = 0.5f};
    Tone other{.hz = 700.0, .level = 0.25f};
    startOutputUnit(interleaved, tone, deviceID(kSpeakersUID));
    // A refused format leaves the device's own layout: one buffer per channel.
    EXPECT_EQ(planar.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                         AudioStreamBasicDescription{44100.0, kAudioFormatLinearPCM, 9, 8, 1, 8, 2,
                                                     32, 0}),
              kAudioUnitErr_FormatNotSupported);
    startOutputUnit(planar, other, deviceID(kHeadsetUID), false);
    sonarill::sim::advanceTimeline(0.2);

    EXPECT_EQ(tone.bufferCounts.front(), 1u);
    EXPECT_EQ(other.bufferCounts.front(), 2u);
    const std::vector<float> speakers = sonarill::sim::recentlyPlayed(kSpeakersUID, 48000);
    const std::vector<float> headset = sonarill::sim::recentlyPlayed(kHeadsetUID, 48000);
    EXPECT_EQ(speakers.size(), size_t(tone.periods) * 512 * 2);
    EXPECT_EQ(headset.size(), size_t(other.periods) * 256 * 2) << "the headset's buffers are 256";
    EXPECT_EQ(sonarill::sim::framesPlayed(kSpeakersUID), UInt64(tone.periods) * 512);
    EXPECT_NEAR(amplitudeAt(speakers, 1, 1000.0), 0.5, 0.01);
    EXPECT_NEAR(amplitudeAt(headset, 0, 700.0), 0.25, 0.01);
    EXPECT_NEAR(amplitudeAt(headset, 1, 700.0), 0.25, 0.01);
    EXPECT_TRUE(sonarill::sim::recentlyPlayed("LGHDMIDisplay:0", 100).empty());
}

TEST(UnitLifecycle, CallsInTheWrongOrderGetAMacsStatusesAndTeardownIsSafeInAnyState) {
    ScopedSimWorld world(worldWithDriver(), sonarill::sim::TimelineClock::manual);
    const UInt32 on = 1;
    AudioTimeStamp time{};
    float buffer[8] = {};
    AudioBufferList list{1, {{2, sizeof buffer, buffer}}};
    {
        ScopedUnit unit;
        EXPECT_EQ(AudioOutputUnitStart(unit.get()), kAudioUnitErr_Uninitialized);
        EXPECT_EQ(AudioUnitRender(unit.get(), nullptr, &time, 1, 1, &list),
                  kAudioUnitErr_Uninitialized);
        EXPECT_EQ(AudioUnitInitialize(unit.get()), kAudioUnitErr_FailedInitialization)
            << "no device yet";
        EXPECT_EQ(unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                           AudioObjectID{999}),
                  kAudioHardwareBadDeviceError);
        EXPECT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Global, 0, on),
                  kAudioUnitErr_InvalidScope);
        EXPECT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 0, on),
                  kAudioUnitErr_InvalidElement);
        EXPECT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on, 2),
                  kAudio_ParamError);
        EXPECT_EQ(unit.set(123456, kAudioUnitScope_Global, 0, on), kAudioUnitErr_InvalidProperty);
        AudioStreamBasicDescription planar = forwardingFormat();
        planar.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
        EXPECT_EQ(unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, planar),
                  kAudioUnitErr_FormatNotSupported);
        EXPECT_EQ(unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0,
                           forwardingFormat()),
                  kAudioUnitErr_PropertyNotWritable);
        // Teardown before anything was set up.
        EXPECT_EQ(AudioOutputUnitStop(unit.get()), noErr);
        EXPECT_EQ(AudioUnitUninitialize(unit.get()), noErr);
    }
    {
        ScopedUnit unit;
        ASSERT_EQ(unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                           deviceID(kSpeakersUID)),
                  noErr);
        ASSERT_EQ(AudioUnitInitialize(unit.get()), noErr);
        EXPECT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on),
                  kAudioUnitErr_Initialized);
        EXPECT_EQ(
            unit.set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, forwardingFormat()),
            kAudioUnitErr_Initialized);
        EXPECT_EQ(AudioUnitRender(unit.get(), nullptr, &time, 1, 1, &list),
                  kAudioUnitErr_NoConnection)
            << "an output unit has no input to render";
        ASSERT_EQ(AudioOutputUnitStart(unit.get()), noErr);
        UInt32 running = 0, size = sizeof running;
        EXPECT_EQ(AudioUnitGetProperty(unit.get(), kAudioOutputUnitProperty_IsRunning,
                                       kAudioUnitScope_Global, 0, &running, &size),
                  noErr);
        EXPECT_EQ(running, 1u);
        EXPECT_EQ(unit.set(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0, on),
                  kAudioUnitErr_PropertyNotWritable);
        // Dispose of a running, initialized unit directly: the destructor does.
    }
    // An input unit on a device without input.
    ScopedUnit unit;
    const UInt32 off = 0;
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, off), noErr);
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on), noErr);
    ASSERT_EQ(unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                       deviceID(kSpeakersUID)),
              noErr);
    EXPECT_EQ(AudioUnitInitialize(unit.get()), kAudioUnitErr_NoConnection);
    EXPECT_EQ(AudioComponentInstanceDispose(nullptr), kAudio_ParamError);
}

TEST(UnitFaults, EachUnitCallFailsAsTheWorldSaysOnTheNamedDeviceAndProperty) {
    ScopedSimWorld world(worldWithDriver(), sonarill::sim::TimelineClock::manual);
    const AudioObjectID speakers = deviceID(kSpeakersUID);
    const AudioObjectID headset = deviceID(kHeadsetUID);
    const struct {
        AudioCall call;
        std::optional<AudioUnitPropertyID> property;
    } cases[] = {
        {AudioCall::audioUnitSetProperty, kAudioUnitProperty_SetRenderCallback},
        {AudioCall::audioUnitGetProperty, kAudioOutputUnitProperty_IsRunning},
        {AudioCall::audioUnitInitialize, std::nullopt},
        {AudioCall::audioOutputUnitStart, std::nullopt},
        {AudioCall::audioOutputUnitStop, std::nullopt},
    };
    for (const auto& each : cases) {
        sonarill::sim::clearFaults();
        sonarill::sim::injectFault(Fault{
            .call = each.call, .uid = kHeadsetUID, .property = each.property, .status = -4242});
        for (const AudioObjectID device : {speakers, headset}) {
            const OSStatus expected = device == headset ? -4242 : noErr;
            const std::string what = std::string(sonarill::sim::audioCallName(each.call)) +
                                     (device == headset ? " on the headset" : " elsewhere");
            ScopedUnit unit;
            ASSERT_EQ(
                unit.set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device),
                noErr);
            const AURenderCallbackStruct none{};
            const OSStatus set =
                unit.set(kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, none);
            // A fault on one property leaves the others alone.
            EXPECT_EQ(unit.set(kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                               UInt32{1024}),
                      noErr)
                << what;
            UInt32 running = 0, size = sizeof running;
            const OSStatus get =
                AudioUnitGetProperty(unit.get(), kAudioOutputUnitProperty_IsRunning,
                                     kAudioUnitScope_Global, 0, &running, &size);
            const OSStatus initialize = AudioUnitInitialize(unit.get());
            const OSStatus start = AudioOutputUnitStart(unit.get());
            const OSStatus stop = AudioOutputUnitStop(unit.get());
            const OSStatus results[] = {set, get, initialize, start, stop};
            for (size_t i = 0; i < std::size(cases); ++i) {
                const bool faulted = cases[i].call == each.call;
                // A start after a failed initialize is refused for that reason instead.
                if (each.call == AudioCall::audioUnitInitialize && i == 3 && device == headset)
                    EXPECT_EQ(results[i], kAudioUnitErr_Uninitialized) << what;
                else
                    EXPECT_EQ(results[i], faulted ? expected : noErr) << what << ", call " << i;
            }
        }
    }
    // A fault on AudioUnitRender fails the render inside the callback, period after period.
    sonarill::sim::clearFaults();
    sonarill::sim::injectFault(Fault{.call = AudioCall::audioUnitRender, .status = -77});
    ScopedUnit unit;
    Capture capture;
    startInputUnit(unit, capture, {0, 1});
    sonarill::sim::advanceTimeline(0.05);
    EXPECT_EQ(capture.periodFrames.size(), 4u);
    EXPECT_EQ(capture.lastStatus, -77);
    EXPECT_TRUE(capture.samples.empty());
}

TEST(UnitDevices, BufferSizeChangesApplyFromTheNextPeriodAndAVanishedDeviceStopsCallingBack) {
    ScopedSimWorld world(worldWithDriver(), sonarill::sim::TimelineClock::manual);
    ScopedUnit unit;
    Capture capture;
    startInputUnit(unit, capture, {0, 1});
    sonarill::sim::advanceTimeline(512.0 / 48000.0 * 2.5);
    ASSERT_EQ(capture.periodFrames.size(), 2u);
    const AudioObjectPropertyAddress frames{kAudioDevicePropertyBufferFrameSize,
                                            kAudioObjectPropertyScopeGlobal, 0};
    const UInt32 smaller = 256;
    ASSERT_EQ(AudioObjectSetPropertyData(deviceID(std::string(sonarill::sim::kVirtualDeviceUID)),
                                         &frames, 0, nullptr, sizeof smaller, &smaller),
              noErr);
    sonarill::sim::advanceTimeline(0.02);
    ASSERT_GE(capture.periodFrames.size(), 4u);
    EXPECT_EQ(capture.periodFrames[2], 512u) << "the period under way keeps its size";
    EXPECT_EQ(capture.periodFrames.back(), 256u);

    // An output unit on a device that is unplugged: no more callbacks, stop is still fine.
    ScopedUnit output;
    Tone tone;
    startOutputUnit(output, tone, deviceID(kHeadsetUID));
    sonarill::sim::advanceTimeline(0.05);
    const int before = tone.periods;
    EXPECT_GT(before, 0);
    ASSERT_TRUE(sonarill::sim::removeDeviceByUID(kHeadsetUID));
    sonarill::sim::advanceTimeline(0.2);
    EXPECT_EQ(tone.periods, before);
    EXPECT_EQ(AudioOutputUnitStop(output.get()), noErr);
    EXPECT_EQ(AudioOutputUnitStart(output.get()), kAudioHardwareBadDeviceError);
}

// On the real-time clock: stop waits for a callback under way, and the recording is a complete
// WAV file with what was played.
TEST(UnitRealTime, StopWaitsForTheCallbackAndTheRecordingIsACompleteWav) {
    sonarill::sim::World world = worldWithDriver();
    const ScopedSimWorld scoped(world, sonarill::sim::TimelineClock::realTime);
    world.recordDir = (scoped.dataHome() / "recordings").string();
    ASSERT_TRUE(sonarill::sim::resetWorld(world, sonarill::sim::TimelineClock::realTime));

    ScopedUnit unit;
    Tone tone{.hz = 500.0, .level = 0.5f};
    tone.sleep = 2ms;
    startOutputUnit(unit, tone, deviceID(kSpeakersUID));
    while (tone.periods < 20)
        std::this_thread::sleep_for(5ms);
    // Stop from here while the callback is likely inside its sleep.
    while (!tone.inside)
        std::this_thread::yield();
    ASSERT_EQ(AudioOutputUnitStop(unit.get()), noErr);
    EXPECT_FALSE(tone.inside) << "stop returned while the callback still ran";
    const int periods = tone.periods;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(tone.periods, periods);

    sonarill::sim::flushRecordings();
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(world.recordDir))
        files.push_back(entry.path().filename().string());
    // A file for each device something played to.
    EXPECT_THAT(files, ::testing::ElementsAre("BuiltInSpeakerDevice.wav"));
    std::ifstream file(std::filesystem::path(world.recordDir) / "BuiltInSpeakerDevice.wav",
                       std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    ASSERT_GE(bytes.size(), 44u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(8, 4), "WAVE");
    // The data chunk is last and holds every frame played, as interleaved float stereo.
    const size_t data = bytes.rfind("data");
    ASSERT_NE(data, std::string::npos);
    UInt32 dataSize = 0;
    std::memcpy(&dataSize, bytes.data() + data + 4, 4);
    EXPECT_EQ(dataSize, UInt32(periods) * 512 * 8);
    EXPECT_EQ(bytes.size(), data + 8 + dataSize);
    std::vector<float> samples(dataSize / 4);
    std::memcpy(samples.data(), bytes.data() + data + 8, dataSize);
    EXPECT_NEAR(amplitudeAt(samples, 0, 500.0), 0.5, 0.02);
}

// What the engine must survive: the audio server restarting under it, and a device unplugged
// and plugged back before anyone looked.
TEST(UnitDevices, AfterAServerRestartDevicesComeBackUnderNewIDsAndOldUnitsStaySilent) {
    sonarill::sim::World world = worldWithDriver();
    world.events = {{.at = 0.1, .kind = sonarill::sim::EventKind::restart, .seconds = 0.5}};
    ScopedSimWorld scoped(world, sonarill::sim::TimelineClock::manual);
    const AudioObjectID speakers = deviceID(kSpeakersUID);
    ScopedUnit unit;
    Tone tone;
    startOutputUnit(unit, tone, speakers);
    sonarill::sim::advanceTimeline(0.2);
    const int before = tone.periods;
    EXPECT_EQ(before, 9) << "periods until the restart at 0.1 s";

    const AudioObjectPropertyAddress list{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &list, 0, nullptr, &size),
              kAudioHardwareNotRunningError);
    EXPECT_TRUE(sonarill::sim::devices().empty());
    sonarill::sim::advanceTimeline(0.5);
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &list, 0, nullptr, &size),
              noErr);
    EXPECT_EQ(size, 6 * sizeof(AudioObjectID)) << "five devices and the driver's";
    const AudioObjectID again = deviceID(kSpeakersUID);
    EXPECT_NE(again, kAudioObjectUnknown);
    EXPECT_NE(again, speakers);
    EXPECT_EQ(sonarill::sim::defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice),
              kSpeakersUID);
    EXPECT_EQ(tone.periods, before) << "a unit on an old ID never calls back";

    // Unplugged and plugged back at once: same UID, new ID.
    const sonarill::sim::Device headset = [] {
        for (const auto& device : sonarill::sim::devices()) {
            if (device.uid == kHeadsetUID)
                return device;
        }
        return sonarill::sim::Device{};
    }();
    ASSERT_TRUE(sonarill::sim::removeDeviceByUID(kHeadsetUID));
    sonarill::sim::Device replugged = headset;
    replugged.id = kAudioObjectUnknown;
    const auto id = sonarill::sim::addDevice(replugged);
    ASSERT_TRUE(id) << id.error();
    EXPECT_NE(*id, headset.id);
}

// Each device runs on its own clock: a device 1000 ppm fast plays 1000 ppm more frames.
TEST(UnitClock, EachDevicePlaysAtItsOwnRate) {
    ScopedSimWorld world(sonarill::testing::worldFromJSON(R"({"devices": [
        {"uid": "Nominal", "name": "Nominal", "outputChannels": 2, "bufferFrameSize": 480},
        {"uid": "Fast", "name": "Fast", "outputChannels": 2, "bufferFrameSize": 480,
         "ppm": 1000}
    ]})"),
                         sonarill::sim::TimelineClock::manual);
    ScopedUnit nominal, fast;
    Tone toneA, toneB;
    startOutputUnit(nominal, toneA, deviceID("Nominal"));
    startOutputUnit(fast, toneB, deviceID("Fast"));
    sonarill::sim::advanceTimeline(10.005); // half a period past the 1000th nominal one
    EXPECT_EQ(sonarill::sim::framesPlayed("Nominal"), 480000u);
    EXPECT_EQ(sonarill::sim::framesPlayed("Fast"), 480480u);
}
