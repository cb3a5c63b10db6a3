#pragma once

#include "forwarder/StereoRingBuffer.h"

#include <array>
#include <cstdint>

struct SRC_STATE_tag;

// A physical device's clock runs a little fast or slow against the virtual device's, so a ring
// read at the device's pace slowly fills or drains. The output side reads the ring through a
// resampler whose ratio a control loop steers, so that the ring's fill stays at a target.
namespace sonarill::forwarder {

// Every pipeline forwards at 48 kHz, the virtual device's rate.
inline constexpr double kRate = 48000.0;

// The largest deviation from 1 the ratio may take: 1000 ppm, far beyond any working clock and
// still an inaudible change of pitch (under 2 cents).
inline constexpr double kMaxCorrection = 1000e-6;

// A PI controller on the ring's fill level, low-pass filtered: the fill measured once per
// output period follows the two periods' phase and the threads' waking, not only the clocks.
// Its output is the correction: how much more input than output the resampler takes (0.0001:
// 100 ppm more). Plain arithmetic, no state beyond its fields.
class FillController {
public:
    // Starts over from a fill level (when the output primes), keeping what the integral learnt
    // about the clocks: after a stall the ratio is right at once.
    void restart(double fillFrames) noexcept;
    // One output period of `periodSeconds` that found `fillFrames` in the ring; returns the
    // correction, within kMaxCorrection.
    double update(double fillFrames, double targetFrames, double periodSeconds) noexcept;
    // Moves the filtered fill by frames taken from the ring outside the loop.
    void shift(double frames) noexcept { filtered_ += frames; }

    double filteredFrames() const noexcept { return filtered_; }
    double correction() const noexcept { return correction_; }

private:
    double filtered_ = 0.0;
    double integral_ = 0.0;
    double correction_ = 0.0;
};

// libsamplerate's sinc resampler between the ring and the device, pulling the ring in small
// pieces as it needs input. Its state is made here, once; play and reset neither allocate nor
// lock anything but the ring.
class RingResampler {
public:
    explicit RingResampler(StereoRingBuffer& ring);
    ~RingResampler();
    RingResampler(const RingResampler&) = delete;
    RingResampler& operator=(const RingResampler&) = delete;

    // False when the library could not make its state: the ring is then read as it is.
    bool isReady() const noexcept { return state_ != nullptr; }
    // `frames` interleaved stereo frames into `out`, taking (1 + correction) input frames per
    // frame from the ring on average. False when the ring ran dry: the rest is silence, and so is
    // all it plays until reset.
    bool play(float* out, int64_t frames, double correction) noexcept;
    // Forgets the input it holds: after an underrun, when the output primes again.
    void reset() noexcept;
    // Stereo frames taken from the ring and not yet played (about: the ratio moves within a
    // period), so that the fill is known finer than the pieces the ring is read in.
    double heldFrames() const noexcept { return held_; }

    // Stereo frames the ring is read in: the fill level's step, and what the resampler may hold
    // beyond its filter.
    static constexpr int64_t kPullFrames = 64;

private:
    static long pull(void* self, float** data);

    StereoRingBuffer& ring_;
    SRC_STATE_tag* state_ = nullptr;
    bool ranDry_ = false;
    double held_ = 0.0;
    std::array<float, 2 * kPullFrames> pulled_{};
};

} // namespace sonarill::forwarder
