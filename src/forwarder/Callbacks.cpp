#include "forwarder/Callbacks.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace sonarill::forwarder {

namespace {

// Apple declares a one-element array for a variable-length list: reach the buffers through a
// pointer into the list rather than index past the declared array.
AudioBuffer* buffersOf(AudioBufferList* list) noexcept {
    return reinterpret_cast<AudioBuffer*>(reinterpret_cast<std::byte*>(list) +
                                          offsetof(AudioBufferList, mBuffers));
}

void silence(AudioBuffer& buffer) noexcept {
    if (buffer.mData != nullptr)
        std::memset(buffer.mData, 0, buffer.mDataByteSize);
}

void applyVolume(float* samples, int64_t count, float volume) noexcept {
    if (volume >= kUnityGainFloor)
        return;
    if (volume <= 0.0f) {
        std::fill(samples, samples + count, 0.0f);
        return;
    }
    for (int64_t i = 0; i < count; ++i)
        samples[i] *= volume;
}

uint64_t hostTimeOf(const AudioTimeStamp* timestamp) noexcept {
    if (timestamp == nullptr || (timestamp->mFlags & kAudioTimeStampHostTimeValid) == 0)
        return 0;
    return timestamp->mHostTime;
}

// The fill in stereo frames as the output finds it on average, by the audio system's clocks
// rather than by when the two threads ran: the ring and what the resampler holds, plus what the
// input gathered since its last write's first frame and the output's time, less one and a half
// of its periods (its last write is in the ring already; the output finds half an input period
// fewer than just after a write on average). Counted at the output's periods alone, the fill would
// stand still while the two periods keep their order and jump by a period when they swap, hiding
// the drift in between, and every late thread would move it by a period.
double fillFrames(OutputRenderContext& ctx, const AudioTimeStamp* timestamp) noexcept {
    const StereoRingBuffer::Level level = ctx.ringBuffer.level();
    double fill = double(level.samples / 2);
    if (ctx.resampler != nullptr)
        fill += ctx.resampler->heldFrames();
    const uint64_t now = hostTimeOf(timestamp);
    if (now != 0 && level.lastWriteHostTime != 0 && level.hostTicksPerFrame > 0.0) {
        const double since =
            (double(now) - double(level.lastWriteHostTime)) / level.hostTicksPerFrame;
        const double bound = double(StereoRingBuffer::kCapacity / 2);
        fill += std::clamp(since - 1.5 * double(level.lastWriteSamples / 2), -bound, bound);
    }
    return fill;
}

// Whether this period plays from the ring; an unprimed context waits for the threshold. With a
// resampler, it also waits for the fill as the loop counts it to reach the target, then starts
// the resampler afresh and plays from the target on: what is buffered beyond it is dropped before
// anything plays, rather than taken back over seconds by a ratio far from 1.
bool readyToPlay(OutputRenderContext& ctx, UInt32 frameCount,
                 const AudioTimeStamp* timestamp) noexcept {
    if (ctx.isPrimed)
        return true;
    if (ctx.ringBuffer.available() < primingThreshold(frameCount))
        return false;
    if (ctx.resampler == nullptr) {
        ctx.isPrimed = true;
        return true;
    }
    ctx.resampler->reset();
    const int64_t target = fillTargetFrames(ctx.fillTargetSamples, frameCount);
    const double fill = fillFrames(ctx, timestamp);
    if (fill < double(target))
        return false; // the input's next write brings it there
    ctx.isPrimed = true;
    ctx.ringBuffer.discard(2 * (int64_t(fill) - target));
    ctx.fill.restart(fillFrames(ctx, timestamp));
    return true;
}

// Once a period: the fill before this period's read (the ring and what the resampler holds)
// steers the ratio. A filtered fill far above the target (the device stopped for longer than the
// loop could make up within seconds) is cut back to the target at once. Returns the correction.
double steer(OutputRenderContext& ctx, UInt32 frameCount,
             const AudioTimeStamp* timestamp) noexcept {
    const int64_t target = fillTargetFrames(ctx.fillTargetSamples, frameCount);
    const double fill = fillFrames(ctx, timestamp);
    const double correction = ctx.fill.update(fill, double(target), frameCount / kRate);
    const auto excess = int64_t(fill) - target;
    if (ctx.fill.filteredFrames() > double(target + skipMargin(frameCount)) && excess > 0) {
        const int64_t cut = ctx.ringBuffer.discard(2 * excess) / 2;
        ctx.fill.restart(fill - double(cut));
        ctx.skips.fetch_add(1, std::memory_order_relaxed);
    }
    ctx.fillFrames.store(fill, std::memory_order_relaxed);
    ctx.correctionPpm.store(correction * 1e6, std::memory_order_relaxed);
    return correction;
}

// `frames` stereo frames from the ring into `out`, through the resampler when there is one;
// false when the ring ran dry.
bool take(OutputRenderContext& ctx, float* out, int64_t frames, double correction) noexcept {
    if (ctx.resampler != nullptr && ctx.resampler->isReady())
        return ctx.resampler->play(out, frames, correction);
    return ctx.ringBuffer.read(out, 2 * frames) == 2 * frames;
}

// An underrun: the rest of the period is silence, and the next periods wait for the threshold.
void unprime(OutputRenderContext& ctx) noexcept {
    ctx.isPrimed = false;
    ctx.underruns.fetch_add(1, std::memory_order_relaxed);
}

// `frames` stereo frames into `out`, scaled.
void playInterleaved(OutputRenderContext& ctx, float* out, int64_t frames, float volume,
                     double correction) noexcept {
    if (!take(ctx, out, frames, correction))
        unprime(ctx);
    applyVolume(out, 2 * frames, volume);
}

void playTwoMono(OutputRenderContext& ctx, float* left, float* right, int64_t frames, float volume,
                 double correction) noexcept {
    constexpr int64_t kChunkFrames = 256;
    float chunk[2 * kChunkFrames];
    bool full = true;
    for (int64_t done = 0; done < frames; done += kChunkFrames) {
        const int64_t n = std::min(kChunkFrames, frames - done);
        full = take(ctx, chunk, n, correction) && full;
        applyVolume(chunk, 2 * n, volume);
        for (int64_t i = 0; i < n; ++i) {
            left[done + i] = chunk[2 * i];
            right[done + i] = chunk[2 * i + 1];
        }
    }
    if (!full)
        unprime(ctx);
}

} // namespace

float clampVolume(float volume) noexcept {
    if (!(volume > 0.0f)) // NaN included
        return 0.0f;
    return volume > 1.0f ? 1.0f : volume;
}

int64_t primingThreshold(UInt32 frameCount) noexcept {
    return std::min(std::max(4 * int64_t(frameCount), kPrebufferSamples),
                    StereoRingBuffer::kCapacity);
}

int64_t fillTargetFrames(int64_t fillTargetSamples, UInt32 frameCount) noexcept {
    return (fillTargetSamples > 0 ? fillTargetSamples : primingThreshold(frameCount)) / 2;
}

int64_t skipMargin(UInt32 frameCount) noexcept {
    const int64_t lateWake = std::max(2 * int64_t(frameCount), int64_t(0.1 * kRate));
    const int64_t room =
        (StereoRingBuffer::kCapacity - primingThreshold(frameCount)) / 2 - int64_t(frameCount);
    return std::max<int64_t>(std::min(lateWake, room), 0);
}

OSStatus inputCallbackFunction(void* refCon, AudioUnitRenderActionFlags* actionFlags,
                               const AudioTimeStamp* timestamp, UInt32 busNumber, UInt32 frameCount,
                               AudioBufferList* /*ioData*/) {
    auto& ctx = *static_cast<InputCallbackContext*>(refCon);
    const int64_t need = 2 * int64_t(frameCount);
    if (need > kScratchSamples)
        return noErr;
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = 2;
    list.mBuffers[0].mDataByteSize = UInt32(need * int64_t(sizeof(float)));
    list.mBuffers[0].mData = ctx.scratch.data();
    if (AudioUnitRender(ctx.inputAU, actionFlags, timestamp, busNumber, frameCount, &list) == noErr)
        ctx.ringBuffer.write(ctx.scratch.data(), need, hostTimeOf(timestamp));
    return noErr; // a lost period must not stop the input unit
}

OSStatus outputRenderCallback(void* refCon, AudioUnitRenderActionFlags* /*actionFlags*/,
                              const AudioTimeStamp* timestamp, UInt32 /*busNumber*/,
                              UInt32 frameCount, AudioBufferList* bufferList) {
    if (bufferList == nullptr)
        return kAudio_ParamError;
    if (bufferList->mNumberBuffers == 0 || bufferList->mBuffers[0].mData == nullptr)
        return noErr;
    auto& ctx = *static_cast<OutputRenderContext*>(refCon);
    AudioBuffer* buffers = buffersOf(bufferList);
    const float volume = clampVolume(ctx.volume.load(std::memory_order_relaxed));

    const bool interleaved = bufferList->mNumberBuffers == 1 && buffers[0].mNumberChannels == 2;
    const bool twoMono = bufferList->mNumberBuffers == 2 && buffers[0].mNumberChannels == 1 &&
                         buffers[1].mNumberChannels == 1 && buffers[1].mData != nullptr;
    // Another layout, or still priming: silence.
    if ((!interleaved && !twoMono) || !readyToPlay(ctx, frameCount, timestamp)) {
        for (UInt32 i = 0; i < bufferList->mNumberBuffers; ++i)
            silence(buffers[i]);
        return noErr;
    }
    // Whole frames that fit the buffers, never more than asked for.
    const double correction = steer(ctx, frameCount, timestamp);
    if (interleaved) {
        const int64_t frames = std::min<int64_t>(frameCount, buffers[0].mDataByteSize / 8);
        playInterleaved(ctx, static_cast<float*>(buffers[0].mData), frames, volume, correction);
    } else {
        const int64_t frames = std::min<int64_t>(
            frameCount, std::min(buffers[0].mDataByteSize, buffers[1].mDataByteSize) / 4);
        playTwoMono(ctx, static_cast<float*>(buffers[0].mData),
                    static_cast<float*>(buffers[1].mData), frames, volume, correction);
    }
    return noErr;
}

} // namespace sonarill::forwarder
