#pragma once

#include "audio/CoreAudioAPI.h"
#include "forwarder/DriftControl.h"
#include "forwarder/StereoRingBuffer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

// The two real-time callbacks of a pipeline and what they are handed. Neither allocates, logs,
// or waits on anything but the ring's short lock. Everything here is made before the units start
// and freed after they are disposed of, at an address that does not move in between.
namespace sonarill::forwarder {

// The largest input period forwarded: the scratch holds this many stereo frames.
inline constexpr int64_t kScratchSamples = 32768;
// The priming floor in samples (2048 frames, about 43 ms).
inline constexpr int64_t kPrebufferSamples = 4096;

struct InputCallbackContext {
    InputCallbackContext(AudioUnit unit, StereoRingBuffer& ring)
        : inputAU(unit), ringBuffer(ring) {}
    AudioUnit inputAU;
    StereoRingBuffer& ringBuffer;
    std::array<float, kScratchSamples> scratch{}; // written by the input thread only
};

struct OutputRenderContext {
    // `followsDeviceClock`: reads the ring through a resampler (made here) that the fill steers;
    // without it, or when the resampler cannot be made, the ring is played as it is.
    OutputRenderContext(StereoRingBuffer& ring, float gain, bool followsDeviceClock = false)
        : ringBuffer(ring), volume(gain),
          resampler(followsDeviceClock ? std::make_unique<RingResampler>(ring) : nullptr) {}
    StereoRingBuffer& ringBuffer;
    std::atomic<float> volume; // written by the main thread, read once per period
    bool isPrimed = false;     // the render thread's alone
    int64_t prebufferSamples = kPrebufferSamples;
    // The fill, in samples, the loop holds; 0: the priming threshold. Set before the unit starts.
    int64_t fillTargetSamples = 0;
    // The render thread's alone: the device's clock against the virtual device's.
    std::unique_ptr<RingResampler> resampler;
    FillController fill;

    // What the pipeline went through, written by the render thread for whoever watches: periods
    // that ran the ring dry, cuts of a fill far above the target back to it, the fill (stereo
    // frames in the ring and the resampler) and the correction (ppm) of the last period.
    std::atomic<uint64_t> underruns{0};
    std::atomic<uint64_t> skips{0};
    std::atomic<double> fillFrames{0.0};
    std::atomic<double> correctionPpm{0.0};
};

// Gains at or above the float just below 0.99999994 play unscaled.
inline constexpr float kUnityGainFloor = 0.99999988f;

// 0 to 1; NaN is silence, not full gain.
float clampVolume(float volume) noexcept;

// Samples the render callback waits for before it plays: two device periods of stereo frames or
// the floor, whichever is more, but never more than the ring can hold (or it would never play).
int64_t primingThreshold(UInt32 frameCount) noexcept;

// The fill, in stereo frames, an output's loop holds: its target in samples, or the priming
// threshold when it has none (0).
int64_t fillTargetFrames(int64_t fillTargetSamples, UInt32 frameCount) noexcept;

// How far, in stereo frames, the filtered fill may rise above the target before the excess is
// cut at once: beyond what the threads' late waking explains, and below a full ring.
int64_t skipMargin(UInt32 frameCount) noexcept;

// The input unit's input callback: renders the period into the scratch and writes it to the ring.
OSStatus inputCallbackFunction(void* refCon, AudioUnitRenderActionFlags* actionFlags,
                               const AudioTimeStamp* timestamp, UInt32 busNumber, UInt32 frameCount,
                               AudioBufferList* ioData);

// The output unit's render callback: plays the ring at the route volume once primed, through the
// resampler, whose ratio holds the ring's fill at the priming threshold. One
// interleaved stereo buffer, or two mono buffers (left, right); any other layout gets silence.
// Nothing is written beyond a buffer's own byte size.
OSStatus outputRenderCallback(void* refCon, AudioUnitRenderActionFlags* actionFlags,
                              const AudioTimeStamp* timestamp, UInt32 busNumber, UInt32 frameCount,
                              AudioBufferList* bufferList);

} // namespace sonarill::forwarder
