// The whole IO path. Everything here runs on the host's real-time IO thread: no allocation, no
// lock, no log, no wait. Each client's output is mixed, at its gain, onto its bus of a loopback
// indexed by sample time; the input side reads it back one IO period later.
#include "driver/Driver.h"
#include "driver/HostClock.h"

#include <algorithm>
#include <cmath>

namespace sonarill::driver {

namespace {

constexpr UInt64 kLoopbackMask = kLoopbackFrames - 1;
static_assert((kLoopbackFrames & kLoopbackMask) == 0, "a power of two");

int64_t wholeFrames(Float64 sampleTime) noexcept {
    return int64_t(std::floor(sampleTime));
}

// A frame's stamp: its sample time on the current time line. Sample times start again when IO
// restarts, so the seed goes into the stamp too, or a restarted time line would add onto (and
// read back) what the previous one mixed at the same times. 2^44 frames are years of sound.
int64_t stampBase(UInt64 seed) noexcept {
    return int64_t(seed << 44);
}

size_t slotOf(int64_t sampleTime) noexcept {
    return size_t(UInt64(sampleTime) & kLoopbackMask);
}

} // namespace

void Driver::zeroTimeStamp(Float64& sampleTime, UInt64& hostTime, UInt64& seed) const noexcept {
    // Computed from the anchor alone, so it needs no state of its own: the latest period
    // boundary at or before now.
    seed = seed_.load();
    const UInt64 anchor = anchorHostTime_.load();
    const UInt64 now = hostTicksNow();
    const Float64 ticksPerPeriod = hostTicksPerSecond() * kZeroTimeStampPeriod / kSampleRate;
    const Float64 periods = now > anchor ? std::floor(Float64(now - anchor) / ticksPerPeriod) : 0.0;
    sampleTime = periods * kZeroTimeStampPeriod;
    hostTime = anchor + UInt64(std::llround(periods * ticksPerPeriod));
}

const MixPlan& Driver::planForCycle(const AudioServerPlugInIOCycleInfo* cycle) noexcept {
    // One plan for the whole cycle, so a push switches the mix at a period boundary and never
    // between two clients of one cycle.
    const UInt64 seed = seed_.load(std::memory_order_relaxed);
    if (cyclePlan_ != nullptr && cycle != nullptr && cycle->mIOCycleCounter == cyclePlanCounter_ &&
        seed == cyclePlanSeed_)
        return *cyclePlan_;
    const MixPlan* plan = plan_.load();
    for (;;) {
        hazard_.store(plan);
        const MixPlan* current = plan_.load();
        if (current == plan)
            break;
        plan = current;
    }
    cyclePlan_ = plan;
    cyclePlanCounter_ = cycle != nullptr ? cycle->mIOCycleCounter : ~UInt64(0);
    cyclePlanSeed_ = seed;
    return *plan;
}

void Driver::mixClient(const MixPlan& plan, UInt32 clientID, const float* stereo, UInt32 frames,
                       Float64 sampleTime) noexcept {
    const Placement placement = plan.placementOf(clientID);
    const int64_t start = wholeFrames(sampleTime);
    const int64_t base = stampBase(seed_.load(std::memory_order_relaxed));
    for (UInt32 i = 0; i < frames; ++i) {
        const int64_t time = start + i;
        const size_t slot = slotOf(time);
        float* frame = &loopback_.samples[slot * kInputChannels];
        if (loopback_.stamps[slot] != base + time) {
            for (UInt32 c = 0; c < kInputChannels; ++c)
                frame[c] = 0.0f;
            loopback_.stamps[slot] = base + time;
        }
        frame[2 * placement.bus] += placement.gain * stereo[2 * i];
        frame[2 * placement.bus + 1] += placement.gain * stereo[2 * i + 1];
    }
}

void Driver::readInput(float* interleaved, UInt32 frames, Float64 sampleTime,
                       UInt32 delay) noexcept {
    const int64_t start = wholeFrames(sampleTime) - int64_t(delay);
    const int64_t base = stampBase(seed_.load(std::memory_order_relaxed));
    for (UInt32 i = 0; i < frames; ++i) {
        const int64_t time = start + i;
        const size_t slot = slotOf(time);
        const bool mixed = loopback_.stamps[slot] == base + time;
        const float* frame = &loopback_.samples[slot * kInputChannels];
        for (UInt32 c = 0; c < kInputChannels; ++c)
            interleaved[size_t(i) * kInputChannels + c] = mixed ? frame[c] : 0.0f;
    }
}

OSStatus Driver::doIO(AudioObjectID stream, UInt32 clientID, UInt32 operation, UInt32 frames,
                      const AudioServerPlugInIOCycleInfo* cycle, void* buffer) noexcept {
    if (cycle == nullptr || buffer == nullptr)
        return kAudioHardwareIllegalOperationError;
    switch (operation) {
    case kAudioServerPlugInIOOperationProcessOutput:
        if (stream != kOutputStreamID)
            return kAudioHardwareBadStreamError;
        mixClient(planForCycle(cycle), clientID, static_cast<const float*>(buffer), frames,
                  cycle->mOutputTime.mSampleTime);
        return kAudioHardwareNoError;
    case kAudioServerPlugInIOOperationReadInput: {
        if (stream != kInputStreamID)
            return kAudioHardwareBadStreamError;
        // The input side lags the output side by one IO period: in the host's order ReadInput
        // comes before the cycle's ProcessOutput, so the period before is the latest complete
        // one. Bounded so that a strange nominal size cannot reach into frames written over.
        const UInt32 delay = std::min(cycle->mNominalIOBufferFrameSize, kLoopbackFrames / 2);
        readInput(static_cast<float*>(buffer), frames, cycle->mInputTime.mSampleTime, delay);
        return kAudioHardwareNoError;
    }
    default:
        // WriteMix: the clients' sound was taken in ProcessOutput; the host's own mix of it
        // goes nowhere.
        return kAudioHardwareNoError;
    }
}

} // namespace sonarill::driver
