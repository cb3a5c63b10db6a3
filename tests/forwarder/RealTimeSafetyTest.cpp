// Proof that neither callback allocates, frees, or takes a pthread mutex or condition variable
// (see support/RealTimeCounting.h), the resampler and its control loop included, through an
// underrun and a cut of the fill. The callbacks run as the simulated units call them on the
// manual clock, through wrappers that only mark the thread; the units' own code around them is
// not counted.

#include "forwarder/AudioForwarder.h"
#include "forwarder/Callbacks.h"
#include "sim/Control.h"
#include "support/DefaultWorld.h"
#include "support/Listening.h"
#include "support/RealTimeCounting.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using forwarder::PipelineBuffers;

const auto* const home = addScratchHome();

// What a callback may do, for the proof that the counting sees it.
enum class Misdeed { none, allocates, locks };

struct Wrapped {
    std::unique_ptr<PipelineBuffers> buffers;
    Misdeed misdeed = Misdeed::none;
    std::mutex someMutex;

    void misbehave() {
        if (misdeed == Misdeed::allocates)
            delete new int(7);
        if (misdeed == Misdeed::locks)
            std::lock_guard guard(someMutex);
    }
    // The forwarder's callback with this pipeline's context, the thread marked around it.
    template <bool isInput>
    static OSStatus marked(void* refCon, AudioUnitRenderActionFlags* flags,
                           const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                           AudioBufferList* data) {
        auto& self = *static_cast<Wrapped*>(refCon);
        const realtime::Marked callbackThread;
        const OSStatus status =
            isInput ? forwarder::inputCallbackFunction(&self.buffers->inputCtx, flags, time, bus,
                                                       frames, data)
                    : forwarder::outputRenderCallback(&self.buffers->outputCtx, flags, time, bus,
                                                      frames, data);
        self.misbehave();
        return status;
    }
};

AudioUnit newUnit() {
    const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                                kAudioUnitManufacturer_Apple, 0, 0};
    AudioUnit unit = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &description), &unit),
              noErr);
    return unit;
}

template <typename T>
void set(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
         const T& value) {
    EXPECT_EQ(AudioUnitSetProperty(unit, id, scope, element, &value, sizeof value), noErr);
}

// Runs one pipeline's callbacks for a while from the virtual device's bus 1 to the display (its
// own 1024-frame period and clock), with volume changes between the periods, and returns what
// the display played.
std::vector<float> runPipeline(Wrapped& wrapped) {
    const AudioStreamBasicDescription format{
        48000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 8, 1, 8, 2, 32, 0};
    AudioUnit input = newUnit(), output = newUnit();
    wrapped.buffers = std::make_unique<PipelineBuffers>(input, 1.0f);
    const UInt32 off = 0, on = 1;
    const SInt32 map[2] = {2, 3};
    set(input, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, off);
    set(input, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on);
    set(input, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
        deviceID("Sonarill_OutputDevice"));
    set(input, kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output, 1, map);
    set(input, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, format);
    set(input, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0,
        AURenderCallbackStruct{&Wrapped::marked<true>, &wrapped});
    set(output, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
        deviceID(kHDMIUID));
    set(output, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, format);
    set(output, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
        AURenderCallbackStruct{&Wrapped::marked<false>, &wrapped});
    EXPECT_EQ(AudioUnitInitialize(input), noErr);
    EXPECT_EQ(AudioUnitInitialize(output), noErr);
    EXPECT_EQ(AudioOutputUnitStart(input), noErr);
    EXPECT_EQ(AudioOutputUnitStart(output), noErr);
    // The virtual device stalls (the ring runs dry, the output primes again through a reset
    // resampler), then the display does (the ring overflows and the fill is cut back).
    struct Stage {
        float volume;
        const char* stalls;
        double seconds;
    };
    for (const Stage stage : {Stage{1.0f, nullptr, 0.25}, Stage{0.5f, "Sonarill_OutputDevice", 1.0},
                              Stage{0.0f, kHDMIUID, 2.0}, Stage{0.75f, nullptr, 0.5}}) {
        wrapped.buffers->outputCtx.volume = stage.volume;
        if (stage.stalls != nullptr) {
            EXPECT_TRUE(sim::stallDevice(stage.stalls, 0.5));
        }
        sim::advanceTimeline(stage.seconds);
    }
    AudioComponentInstanceDispose(output);
    AudioComponentInstanceDispose(input);
    return sim::recentlyPlayed(kHDMIUID, 4800);
}

// The first row is the proof; the others show that the counting sees a callback that
// misbehaves, so the first would fail for it.
TEST(RealTimeSafety, NeitherCallbackAllocatesFreesOrTakesAPthreadLock) {
    ScopedSimWorld world{worldWithDriver(), sim::TimelineClock::manual};
    struct Row {
        Misdeed misdeed;
        bool allocates, locks;
    };
    for (const Row row : {Row{Misdeed::none, false, false}, Row{Misdeed::allocates, true, false},
                          Row{Misdeed::locks, false, true}}) {
        SCOPED_TRACE(int(row.misdeed));
        (void)sim::resetWorld(worldWithDriver(), sim::TimelineClock::manual);
        pushRouteText(routeText({kSpeakersUID, kHDMIUID}, {{"com.apple.podcasts", kHDMIUID}}));
        ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice,
                                          sim::kVirtualDeviceUID)); // the applications play there
        realtime::resetCounts();
        Wrapped wrapped;
        wrapped.misdeed = row.misdeed;
        const std::vector<float> played = runPipeline(wrapped);
        EXPECT_NEAR(amplitudeAt(played, 0, 550.0), 0.5 * 0.75, 0.004) << "the callbacks forwarded";
        const forwarder::OutputRenderContext& output = wrapped.buffers->outputCtx;
        EXPECT_TRUE(output.resampler->isReady());
        EXPECT_GE(output.underruns.load(), 1u) << "an underrun and priming again were counted too";
        EXPECT_GE(output.skips.load(), 1u) << "a cut of the fill was counted too";
        const realtime::Counts counts = realtime::counts();
        EXPECT_EQ(counts.allocations > 0, row.allocates);
        EXPECT_EQ(counts.frees > 0, row.allocates);
        EXPECT_EQ(counts.lockCalls > 0, row.locks);
    }
}

} // namespace
