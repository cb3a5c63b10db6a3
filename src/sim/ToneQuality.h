#pragma once

#include <cstddef>

// How clean a recorded tone is, for the tools, benchmarks and tests that judge what a device
// played: a sine of about `hz` is fitted (frequency, amplitude, phase and offset, as IEEE 1057's
// four-parameter fit does), and what it leaves unexplained, distortion and noise together, is
// set against it.
namespace sonarill::sim {

// THD+N in dB (-80: the rest is 1/10000 of the tone's power) of one channel of `frames`
// interleaved frames of `channels` channels at 48 kHz. 0 when there is no tone to fit.
double toneNoiseDecibels(const float* samples, size_t frames, size_t channels, size_t channel,
                         double hz);

} // namespace sonarill::sim
