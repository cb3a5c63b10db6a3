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

// Whether this period plays from the ring; an unprimed context waits for the threshold.
bool readyToPlay(OutputRenderContext& ctx, UInt32 frameCount) noexcept {
    if (ctx.isPrimed)
        return true;
    if (ctx.ringBuffer.available() < primingThreshold(frameCount))
        return false;
    ctx.isPrimed = true;
    return true;
}

// `frames` stereo frames from the ring into `out`, scaled; an underrun unprimes the context.
void playInterleaved(OutputRenderContext& ctx, float* out, int64_t frames, float volume) noexcept {
    const int64_t want = 2 * frames;
    if (ctx.ringBuffer.read(out, want) < want)
        ctx.isPrimed = false;
    applyVolume(out, want, volume);
}

void playTwoMono(OutputRenderContext& ctx, float* left, float* right, int64_t frames,
                 float volume) noexcept {
    constexpr int64_t kChunkFrames = 256;
    float chunk[2 * kChunkFrames];
    int64_t got = 0;
    for (int64_t done = 0; done < frames; done += kChunkFrames) {
        const int64_t n = std::min(kChunkFrames, frames - done);
        got += ctx.ringBuffer.read(chunk, 2 * n);
        applyVolume(chunk, 2 * n, volume);
        for (int64_t i = 0; i < n; ++i) {
            left[done + i] = chunk[2 * i];
            right[done + i] = chunk[2 * i + 1];
        }
    }
    if (got < 2 * frames)
        ctx.isPrimed = false;
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
        ctx.ringBuffer.write(ctx.scratch.data(), need);
    return noErr; // a lost period must not stop the input unit
}

OSStatus outputRenderCallback(void* refCon, AudioUnitRenderActionFlags* /*actionFlags*/,
                              const AudioTimeStamp* /*timestamp*/, UInt32 /*busNumber*/,
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
    if ((!interleaved && !twoMono) || !readyToPlay(ctx, frameCount)) {
        for (UInt32 i = 0; i < bufferList->mNumberBuffers; ++i)
            silence(buffers[i]);
        return noErr;
    }
    // Whole frames that fit the buffers, never more than asked for.
    if (interleaved) {
        const int64_t frames = std::min<int64_t>(frameCount, buffers[0].mDataByteSize / 8);
        playInterleaved(ctx, static_cast<float*>(buffers[0].mData), frames, volume);
    } else {
        const int64_t frames = std::min<int64_t>(
            frameCount, std::min(buffers[0].mDataByteSize, buffers[1].mDataByteSize) / 4);
        playTwoMono(ctx, static_cast<float*>(buffers[0].mData),
                    static_cast<float*>(buffers[1].mData), frames, volume);
    }
    return noErr;
}

} // namespace sonarill::forwarder
