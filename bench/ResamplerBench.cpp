// The two resamplers a pipeline could read its ring through, at the work a pipeline gives them:
// what one 512-frame stereo period costs while the ratio moves within ±1000 ppm, and, as
// counters, how clean a 1 kHz tone comes out at a held ratio (THD+N in dB at ±100 and ±1000 ppm)
// and how many ratio changes touched the heap (a real-time thread must see none).
//
// libsamplerate: its three sinc converters, pulling input through a callback as the product's
// output does. speexdsp: its resampler at four qualities, the ratio as a fraction of 48000ths.

#include "sim/ToneQuality.h"

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <speex/speex_resampler.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <utility>
#include <vector>

namespace {

constexpr long kPeriod = 512;
constexpr double kRate = 48000.0;
constexpr double kToneHz = 1000.0;

// Ten seconds of the tone, interleaved stereo at level 0.5, read round and round. Its length
// holds a whole number of cycles, so the seam is clean.
const std::vector<float>& tone() {
    static const std::vector<float> samples = [] {
        std::vector<float> s(size_t(2 * kRate * 10));
        for (size_t n = 0; n < s.size() / 2; ++n) {
            const auto v =
                float(0.5 * std::sin(2.0 * std::numbers::pi * kToneHz * double(n) / kRate));
            s[2 * n] = s[2 * n + 1] = v;
        }
        return s;
    }();
    return samples;
}

// The correction of period i: a slow swing over the whole ±1000 ppm.
double swingingCorrection(int64_t i) {
    return 1000e-6 * std::sin(2.0 * std::numbers::pi * double(i) / 2000.0);
}

size_t heapInUse() {
    return mallinfo2().uordblks;
}

// A resampler under test: plays one period at a correction (input frames per output frame - 1).
class Under {
public:
    virtual ~Under() = default;
    virtual void play(float* out, double correction) = 0;
};

class Libsamplerate : public Under {
public:
    explicit Libsamplerate(int converter) {
        int error = 0;
        state_ = src_callback_new(&Libsamplerate::pull, converter, 2, &error, this);
    }
    ~Libsamplerate() override { src_delete(state_); }
    void play(float* out, double correction) override {
        long done = 0;
        while (done < kPeriod) {
            const long got =
                src_callback_read(state_, 1.0 / (1.0 + correction), kPeriod - done, out + 2 * done);
            if (got <= 0)
                break;
            done += got;
        }
    }

private:
    static long pull(void* self, float** data) {
        auto& me = *static_cast<Libsamplerate*>(self);
        constexpr long kPull = 64;
        const std::vector<float>& samples = tone();
        *data = const_cast<float*>(samples.data()) + me.at_;
        me.at_ = (me.at_ + 2 * kPull) % samples.size();
        return kPull;
    }
    SRC_STATE* state_ = nullptr;
    size_t at_ = 0;
};

class Speex : public Under {
public:
    explicit Speex(int quality) {
        int error = 0;
        state_ = speex_resampler_init(2, 48000, 48000, quality, &error);
    }
    ~Speex() override { speex_resampler_destroy(state_); }
    void play(float* out, double correction) override {
        // In 48000ths (21 ppm steps): millionths crash the library (libspeexdsp 1.2.1 rescales
        // its fractional positions by the denominator in 32 bits).
        const auto den = spx_uint32_t(48000);
        const auto num = spx_uint32_t(std::lround(48000.0 * (1.0 + correction)));
        speex_resampler_set_rate_frac(state_, num, den, 48000, 48000);
        const std::vector<float>& samples = tone();
        spx_uint32_t done = 0;
        while (done < spx_uint32_t(kPeriod)) {
            spx_uint32_t in = spx_uint32_t(std::min<size_t>(1024, (samples.size() - at_) / 2));
            spx_uint32_t produced = spx_uint32_t(kPeriod) - done;
            speex_resampler_process_interleaved_float(state_, samples.data() + at_, &in,
                                                      out + 2 * done, &produced);
            at_ = (at_ + 2 * size_t(in)) % samples.size();
            done += produced;
        }
    }

private:
    SpeexResamplerState* state_ = nullptr;
    size_t at_ = 0;
};

// THD+N of the last half second of four seconds played at a held correction.
double toneNoise(Under& under, double correction) {
    std::vector<float> out(2 * size_t(kPeriod));
    std::vector<float> kept;
    const int periods = int(4.0 * kRate / double(kPeriod));
    for (int i = 0; i < periods; ++i) {
        under.play(out.data(), correction);
        kept.insert(kept.end(), out.begin(), out.end());
    }
    constexpr size_t kFrames = 24000;
    return sonarill::sim::toneNoiseDecibels(kept.data() + kept.size() - 2 * kFrames, kFrames, 2, 0,
                                            kToneHz);
}

template <typename Make> void period(benchmark::State& state, Make make) {
    for (const auto& [name, ppm] :
         {std::pair{"thdn_p100_db", 100.0}, std::pair{"thdn_m100_db", -100.0},
          std::pair{"thdn_p1000_db", 1000.0}, std::pair{"thdn_m1000_db", -1000.0}}) {
        auto fresh = make();
        state.counters[name] = toneNoise(*fresh, ppm * 1e-6);
    }
    auto under = make();
    std::vector<float> out(2 * size_t(kPeriod));
    int64_t i = 0, heapChanges = 0;
    for (auto _ : state) {
        const size_t before = heapInUse();
        under->play(out.data(), swingingCorrection(i++));
        heapChanges += heapInUse() != before;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["heap_changing_periods"] = double(heapChanges);
    state.SetItemsProcessed(state.iterations() * kPeriod);
}

void libsamplerate(benchmark::State& state) {
    period(state, [&] { return std::make_unique<Libsamplerate>(int(state.range(0))); });
}
BENCHMARK(libsamplerate)
    ->ArgName("converter") // 2 fastest, 1 medium, 0 best
    ->Arg(SRC_SINC_FASTEST)
    ->Arg(SRC_SINC_MEDIUM_QUALITY)
    ->Arg(SRC_SINC_BEST_QUALITY);

void speexdsp(benchmark::State& state) {
    period(state, [&] { return std::make_unique<Speex>(int(state.range(0))); });
}
BENCHMARK(speexdsp)->ArgName("quality")->Arg(3)->Arg(5)->Arg(8)->Arg(10);

} // namespace

BENCHMARK_MAIN();
