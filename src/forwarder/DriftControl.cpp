#include "forwarder/DriftControl.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

namespace sonarill::forwarder {

namespace {

// The fill is averaged over half a second: longer than any period and any thread's late wake,
// well shorter than the loop's own time.
constexpr double kFilterSeconds = 0.5;
// The loop's natural frequency (rad/s) and damping: a clock error found and absorbed within
// about 20 seconds, without overshoot, and with noise on the fill moving the ratio only a little.
constexpr double kLoopOmega = 0.25;
constexpr double kLoopDamping = 1.0;
// The fill changes by kRate frames a second per unit of correction.
constexpr double kProportional = 2.0 * kLoopDamping * kLoopOmega / kRate;
constexpr double kIntegral = kLoopOmega * kLoopOmega / kRate;
// A fill this far off the target comes from a stall, not from a clock: the integral, which
// learns the clock, leaves it out.
constexpr double kLearnWithinFrames = 1000.0;

// The sinc filter with the least work per frame that still keeps distortion and noise of a
// resampled tone far below hearing (see bench/ResamplerBench.cpp).
constexpr int kConverter = SRC_SINC_FASTEST;

} // namespace

void FillController::restart(double fillFrames) noexcept {
    filtered_ = fillFrames;
}

double FillController::update(double fillFrames, double targetFrames,
                              double periodSeconds) noexcept {
    filtered_ += (fillFrames - filtered_) * periodSeconds / (kFilterSeconds + periodSeconds);
    const double error = filtered_ - targetFrames;
    if (std::fabs(error) < kLearnWithinFrames)
        integral_ = std::clamp(integral_ + kIntegral * error * periodSeconds, -kMaxCorrection,
                               kMaxCorrection);
    correction_ = std::clamp(kProportional * error + integral_, -kMaxCorrection, kMaxCorrection);
    return correction_;
}

RingResampler::RingResampler(StereoRingBuffer& ring) : ring_(ring) {
    int error = 0;
    state_ = src_callback_new(&RingResampler::pull, kConverter, 2, &error, this);
}

RingResampler::~RingResampler() {
    if (state_ != nullptr)
        src_delete(state_);
}

long RingResampler::pull(void* self, float** data) {
    auto& resampler = *static_cast<RingResampler*>(self);
    float* pulled = resampler.pulled_.data();
    *data = pulled;
    resampler.held_ += double(kPullFrames);
    // Once dry, nothing more this period: the input that arrives meanwhile waits for priming.
    if (resampler.ranDry_) {
        std::fill(pulled, pulled + 2 * kPullFrames, 0.0f);
    } else if (resampler.ring_.read(pulled, 2 * kPullFrames) < 2 * kPullFrames) {
        resampler.ranDry_ = true;
    }
    return kPullFrames; // silence after a shortfall: the resampler never sees an end
}

bool RingResampler::play(float* out, int64_t frames, double correction) noexcept {
    // The library's ratio is output over input.
    const double ratio = 1.0 / (1.0 + correction);
    int64_t done = 0;
    while (done < frames) {
        const long got = src_callback_read(state_, ratio, long(frames - done), out + 2 * done);
        if (got <= 0)
            break;
        done += got;
    }
    std::fill(out + 2 * done, out + 2 * frames, 0.0f);
    held_ -= double(done) * (1.0 + correction);
    return !ranDry_ && done == frames;
}

void RingResampler::reset() noexcept {
    ranDry_ = false;
    held_ = 0.0;
    if (state_ != nullptr)
        src_reset(state_);
}

} // namespace sonarill::forwarder
