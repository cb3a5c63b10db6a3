#pragma once

#include "audio/CoreAudioAPI.h"
#include "forwarder/StereoRingBuffer.h"

#include <array>
#include <atomic>
#include <cstdint>

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
    OutputRenderContext(StereoRingBuffer& ring, float gain) : ringBuffer(ring), volume(gain) {}
    StereoRingBuffer& ringBuffer;
    std::atomic<float> volume; // written by the main thread, read once per period
    bool isPrimed = false;     // the render thread's alone
    int64_t prebufferSamples = kPrebufferSamples;
};

// Gains at or above the float just below 0.99999994 play unscaled.
inline constexpr float kUnityGainFloor = 0.99999988f;

// 0 to 1; NaN is silence, not full gain.
float clampVolume(float volume) noexcept;

// Samples the render callback waits for before it plays: two device periods of stereo frames or
// the floor, whichever is more, but never more than the ring can hold (or it would never play).
int64_t primingThreshold(UInt32 frameCount) noexcept;

// The input unit's input callback: renders the period into the scratch and writes it to the ring.
OSStatus inputCallbackFunction(void* refCon, AudioUnitRenderActionFlags* actionFlags,
                               const AudioTimeStamp* timestamp, UInt32 busNumber, UInt32 frameCount,
                               AudioBufferList* ioData);

// The output unit's render callback: plays the ring at the route volume once primed. One
// interleaved stereo buffer, or two mono buffers (left, right); any other layout gets silence.
// Nothing is written beyond a buffer's own byte size.
OSStatus outputRenderCallback(void* refCon, AudioUnitRenderActionFlags* actionFlags,
                              const AudioTimeStamp* timestamp, UInt32 busNumber, UInt32 frameCount,
                              AudioBufferList* bufferList);

} // namespace sonarill::forwarder
