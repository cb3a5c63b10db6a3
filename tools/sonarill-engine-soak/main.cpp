// sonarill-engine-soak --pipelines N --apps A --seconds S --ppm P --frames F [--target-ms T]
//
// Runs the forwarding engine on the simulated audio system's real-time clock: N physical devices
// whose clocks run P ppm off the virtual device's, every device and the virtual device at F-frame
// periods, A application tones of 1 kHz (one per device unless said), application k routed to
// device k mod N. T holds each ring's fill at T milliseconds instead of the priming threshold.
// Runs S seconds, or until SIGINT or SIGTERM, and then prints one name=value line per figure:
//
//   seconds                  how long it ran
//   impulses_measured        impulses sent through a pipeline and found in what it played; the
//                            latency lines below are left out when there are none
//   latency_priming_ms       what the output waits for before it plays: the priming threshold
//   latency_phase_ms         what the output's phase against the input adds to it (median): from
//                            0 to one period while the clocks agree; drift moves it either way
//   latency_total_ms         the two together (median), from the impulse entering the virtual
//                            device to the device playing it, by the devices' clocks (so not by
//                            when the threads woke); _min_ms and _max_ms: its spread
//   latency_check_*_samples  the last impulse again, in samples: found in the device's
//                            recording, and timed by the wall clock when the callbacks ran
//   underruns_per_min, overflows_per_min, first_underrun_s, first_overflow_s (or "none"): an
//                            overflow is audio dropped for too much buffered: a full ring, or a
//                            fill far above its target cut back to it (a skip)
//   dropouts_per_hour        underruns and overflows; underruns_, overflows_, skips_per_hour
//   settled_from_s           the figures below leave out the time before it (the loop settling:
//                            a quarter of the run, at most 30 s)
//   fill_target_frames, fill_mean_frames, fill_sd_frames, fill_min_frames, fill_max_frames: the
//                            fill each output period found (the ring and what the resampler
//                            holds), in stereo frames
//   latency_mean_ms, latency_sd_ms: the impulses' latency
//   off_target_episodes, off_target_max_s: the times an output's fill was more than one of its
//                            periods from the target, or it was priming again, and the longest
//                            of them: how long a stall's extra (or missing) latency lasted
//   ratio_min_ppm, ratio_max_ppm: the resampler's correction (more input than output taken)
//   thdn_db                  THD+N of the tone in the last half second each device recorded, the
//                            worst device's (impulses stop 1.5 s before the end); silent_at_end:
//                            devices that played silence then, left out of it
//   callback_p50_us, callback_p99_us, callback_max_us: how long the engine's callbacks took
//
// Exits with 0, 128 + the signal's number when a signal ended the run, 2 for arguments it refuses.
//
// The engine is the product's own; the tool only watches it. The linker hands the forwarder's
// unit calls to the __wrap_ functions below (--wrap): installing a callback installs a timing
// trampoline around it, and the input unit's render of the virtual device's input can carry an
// impulse, which the output side then finds in what it plays. Figures live in histograms of a
// fixed size, so a run of any length takes the same memory.

#include "audio/CoreAudioAPI.h"
#include "audio/DeviceLookup.h"
#include "base/Expected.h"
#include "forwarder/AudioForwarder.h"
#include "forwarder/Callbacks.h"
#include "sim/Control.h"
#include "sim/ToneQuality.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

extern "C" {
OSStatus __real_AudioUnitSetProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                                     AudioUnitElement, const void*, UInt32);
OSStatus __real_AudioUnitRender(AudioUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                UInt32, UInt32, AudioBufferList*);
}

namespace {

using namespace sonarill;

constexpr double kRate = 48000.0;
// Far louder than any tone, which stays at 0.5: the resampler's filter spreads it over a few
// samples, and its peak still stands out.
constexpr float kImpulse = 4.0f;
constexpr double kToneHz = 1000.0;
// Impulses stop this long before the end, so that the last half second holds the tone alone.
constexpr double kQuietSeconds = 1.5;
// An impulse not played within a second was dropped (an overflow); the pipeline gets a new one.
constexpr int64_t kImpulseLostNanos = 1'000'000'000;

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Counts of nanosecond values in buckets 1/1024 of their size wide (exact below 2048 ns), up to
// 73 minutes: percentiles to 0.1% in a fixed 256 KiB. Any thread may add without waiting.
class Histogram {
public:
    void add(int64_t nanos) noexcept {
        const auto value = uint64_t(std::max<int64_t>(nanos, 0));
        counts_[bucketOf(value)].fetch_add(1, std::memory_order_relaxed);
        count_.fetch_add(1, std::memory_order_relaxed);
        sum_.fetch_add(double(value), std::memory_order_relaxed);
        sumSquares_.fetch_add(double(value) * double(value), std::memory_order_relaxed);
        uint64_t min = min_.load();
        while (value < min && !min_.compare_exchange_weak(min, value)) {
        }
        uint64_t max = max_.load();
        while (value > max && !max_.compare_exchange_weak(max, value)) {
        }
    }
    uint64_t count() const { return count_.load(); }
    double minNanos() const { return double(min_.load()); }
    double maxNanos() const { return double(max_.load()); }
    double mean() const { return count() ? sum_.load() / double(count()) : 0.0; }
    double standardDeviation() const {
        if (count() == 0)
            return 0.0;
        const double m = mean();
        return std::sqrt(std::max(sumSquares_.load() / double(count()) - m * m, 0.0));
    }
    // The value at or below which a share p of the values lie: its bucket's middle, within the
    // exact minimum and maximum. Only once nothing adds any more.
    double percentileNanos(double p) const {
        const auto rank = std::max<uint64_t>(1, uint64_t(std::ceil(p * double(count()))));
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += counts_[i].load();
            if (seen >= rank) {
                const double middle = double(lowerOf(i)) + double(widthOf(i) - 1) / 2.0;
                return std::clamp(middle, minNanos(), maxNanos());
            }
        }
        return maxNanos();
    }

private:
    static constexpr int kSubBits = 10;
    static constexpr uint64_t kSub = uint64_t(1) << kSubBits;
    static constexpr int kMaxShift = 31;
    static constexpr size_t kBuckets = 2 * kSub + (kMaxShift - 1) * kSub;

    static size_t bucketOf(uint64_t value) {
        if (value < 2 * kSub)
            return size_t(value);
        const int shift = int(std::bit_width(value)) - (kSubBits + 1);
        if (shift >= kMaxShift)
            return kBuckets - 1;
        return size_t(2 * kSub + uint64_t(shift - 1) * kSub + ((value >> shift) - kSub));
    }
    static uint64_t lowerOf(size_t bucket) {
        if (bucket < 2 * kSub)
            return bucket;
        const uint64_t shift = (bucket - 2 * kSub) / kSub + 1;
        return (kSub + (bucket - 2 * kSub) % kSub) << shift;
    }
    static uint64_t widthOf(size_t bucket) {
        return bucket < 2 * kSub ? 1 : uint64_t(1) << ((bucket - 2 * kSub) / kSub + 1);
    }

    std::unique_ptr<std::atomic<uint64_t>[]> counts_ =
        std::make_unique<std::atomic<uint64_t>[]>(kBuckets);
    std::atomic<uint64_t> count_{0};
    std::atomic<double> sum_{0.0}, sumSquares_{0.0};
    std::atomic<uint64_t> min_{std::numeric_limits<uint64_t>::max()};
    std::atomic<uint64_t> max_{0};
};

// One installed callback and what was seen of it.
struct Trampoline {
    AURenderCallback callback = nullptr;
    void* refCon = nullptr;
    bool isOutput = false;
    AudioUnit unit = nullptr;
    AudioObjectID device = kAudioObjectUnknown;
    Trampoline* partner = nullptr; // an output's input: the pipeline's other unit

    // The unit's clock: when its sample 0 entered (input) or played (output), by the host times
    // the audio system stamps its periods with, so not by when the unit's thread woke. Kept from
    // the latest call, as a drifting clock moves against the host's. Written by the unit's I/O
    // thread only.
    std::atomic<double> clockNanos{0.0};
    // An output's: since when its fill has been off the target, or 0. Its I/O thread's.
    int64_t offTargetSinceNanos = 0;
    // An output's, written by its I/O thread, read once the units are disposed of.
    struct PlayedImpulse {
        int64_t sampleTime = -1; // the input's sample time of the period that carried it
        int64_t callbacksLatencyNanos = 0;
    } lastImpulse;

    // An input's impulse in flight: when it entered the virtual device, by the clock and in
    // samples. One at a time per pipeline.
    std::atomic<int64_t> impulseSentNanos{0};
    std::atomic<int64_t> impulseSampleTime{0};
};

std::mutex gTrampolinesMutex;
std::vector<std::unique_ptr<Trampoline>> gTrampolines;
std::vector<std::pair<AudioUnit, AudioObjectID>> gUnitDevices;
std::atomic<bool> gArmImpulse{false};
double gOutputRate = kRate; // the physical devices' rate, set before any unit starts

Histogram gCallbackNanos;
Histogram gLatencyNanos;
std::atomic<uint64_t> gUnderruns{0}, gOverflows{0}, gSkips{0};
std::atomic<int64_t> gFirstUnderrunNanos{0}, gFirstOverflowNanos{0};
// From when the loop has settled (set before any unit starts): the fill of each output period in
// frames, the settled impulses' latency, and the correction's range.
int64_t gSettledNanos = 0;
int64_t gTargetSamples = 0; // 0: the priming threshold
Histogram gFillFrames;
Histogram gSettledLatencyNanos;
std::atomic<double> gMinPpm{std::numeric_limits<double>::max()};
std::atomic<double> gMaxPpm{std::numeric_limits<double>::lowest()};
std::atomic<uint64_t> gOffTargetEpisodes{0};
std::atomic<int64_t> gOffTargetMaxNanos{0};

// Notes whether an output period found its fill off the target, ending or starting an episode.
void noteOffTarget(Trampoline& t, bool off, int64_t now) {
    if (off && t.offTargetSinceNanos == 0) {
        t.offTargetSinceNanos = now;
        gOffTargetEpisodes.fetch_add(1, std::memory_order_relaxed);
    } else if (!off && t.offTargetSinceNanos != 0) {
        int64_t longest = gOffTargetMaxNanos.load();
        const int64_t lasted = now - t.offTargetSinceNanos;
        while (lasted > longest && !gOffTargetMaxNanos.compare_exchange_weak(longest, lasted)) {
        }
        t.offTargetSinceNanos = 0;
    }
}

void noteRange(double ppm) {
    double min = gMinPpm.load();
    while (ppm < min && !gMinPpm.compare_exchange_weak(min, ppm)) {
    }
    double max = gMaxPpm.load();
    while (ppm > max && !gMaxPpm.compare_exchange_weak(max, ppm)) {
    }
}

void noteEvent(std::atomic<uint64_t>& count, std::atomic<int64_t>& first, int64_t now) {
    count.fetch_add(1, std::memory_order_relaxed);
    int64_t none = 0;
    first.compare_exchange_strong(none, now);
}

// The time between an input unit's sample entering and an output unit's sample playing, by
// their clocks.
double clockLatencyNanos(const Trampoline& input, double entered, const Trampoline& output,
                         double played) {
    return output.clockNanos.load(std::memory_order_relaxed) + played * 1e9 / gOutputRate -
           (input.clockNanos.load(std::memory_order_relaxed) + entered * 1e9 / kRate);
}

// The impulse in an output period: the first sample above every tone. Its latency is the clocks'
// figure; the callbacks' (the wall clock when they ran) is kept for the last one's check.
void findImpulse(Trampoline& t, int64_t periodStart, const AudioTimeStamp* time,
                 const AudioBufferList* data) {
    Trampoline* input = t.partner;
    if (input == nullptr || time == nullptr || data == nullptr || data->mNumberBuffers != 1 ||
        data->mBuffers[0].mData == nullptr)
        return;
    int64_t sent = input->impulseSentNanos.load();
    if (sent == 0)
        return;
    const auto* samples = static_cast<const float*>(data->mBuffers[0].mData);
    const UInt32 count = data->mBuffers[0].mDataByteSize / sizeof(float);
    for (UInt32 i = 0; i < count; i += 2) {
        if (samples[i] <= 0.5f * kImpulse)
            continue;
        const int64_t sampleTime = input->impulseSampleTime.load();
        const double played = time->mSampleTime + double(i / 2);
        // By the callbacks: played at the start of this period plus its place in it.
        const int64_t callbacks = periodStart + int64_t(double(i / 2) * 1e9 / gOutputRate) - sent;
        if (input->impulseSentNanos.compare_exchange_strong(sent, 0)) {
            const auto latency = int64_t(clockLatencyNanos(*input, double(sampleTime), t, played));
            gLatencyNanos.add(latency);
            if (periodStart >= gSettledNanos)
                gSettledLatencyNanos.add(latency);
            t.lastImpulse = {sampleTime, callbacks};
        }
        return;
    }
}

OSStatus timed(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time,
               UInt32 bus, UInt32 frames, AudioBufferList* data) {
    auto& t = *static_cast<Trampoline*>(refCon);
    auto* output = static_cast<forwarder::OutputRenderContext*>(t.refCon);
    auto* input = static_cast<forwarder::InputCallbackContext*>(t.refCon);
    const bool wasPrimed = t.isOutput && output->isPrimed;
    const uint64_t skipsBefore = t.isOutput ? output->skips.load() : 0;
    const int64_t before = t.isOutput ? 0 : input->ringBuffer.available();
    const int64_t start = nowNanos();
    const OSStatus status = t.callback(t.refCon, flags, time, bus, frames, data);
    const int64_t end = nowNanos();
    gCallbackNanos.add(end - start);
    // A period's host time is its first frame's: when it entered the device, or will play.
    if (time != nullptr && (time->mFlags & kAudioTimeStampHostTimeValid) != 0)
        t.clockNanos.store(double(time->mHostTime) -
                               time->mSampleTime * 1e9 / (t.isOutput ? gOutputRate : kRate),
                           std::memory_order_relaxed);
    if (t.isOutput) {
        if (wasPrimed && !output->isPrimed)
            noteEvent(gUnderruns, gFirstUnderrunNanos, end);
        if (output->skips.load() != skipsBefore) {
            gSkips.fetch_add(1, std::memory_order_relaxed);
            noteEvent(gOverflows, gFirstOverflowNanos, end);
        }
        if (start >= gSettledNanos) {
            const double fill = output->fillFrames.load(std::memory_order_relaxed);
            noteOffTarget(t,
                          !wasPrimed ||
                              std::abs(fill - double(forwarder::fillTargetFrames(
                                                  gTargetSamples, frames))) > double(frames),
                          end);
            if (wasPrimed) {
                gFillFrames.add(std::llround(fill));
                noteRange(output->correctionPpm.load(std::memory_order_relaxed));
            }
        }
        findImpulse(t, start, time, data);
    } else if (before + 2 * int64_t(frames) > forwarder::StereoRingBuffer::kCapacity) {
        noteEvent(gOverflows, gFirstOverflowNanos, end);
    }
    return status;
}

Trampoline* trampolineOfInputUnit(AudioUnit unit) {
    std::lock_guard lock(gTrampolinesMutex);
    for (const auto& t : gTrampolines) {
        if (!t->isOutput && t->unit == unit)
            return t.get();
    }
    return nullptr;
}

} // namespace

extern "C" {

// Installing either callback installs a trampoline around it; the device a unit is given is
// noted for the output's trampoline.
OSStatus __wrap_AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void* data, UInt32 size) {
    if (id == kAudioOutputUnitProperty_CurrentDevice && data != nullptr &&
        size == sizeof(AudioObjectID)) {
        AudioObjectID device = kAudioObjectUnknown;
        std::memcpy(&device, data, sizeof device);
        std::lock_guard lock(gTrampolinesMutex);
        gUnitDevices.emplace_back(unit, device);
    }
    const bool input = id == kAudioOutputUnitProperty_SetInputCallback;
    if ((!input && id != kAudioUnitProperty_SetRenderCallback) || data == nullptr ||
        size != sizeof(AURenderCallbackStruct))
        return __real_AudioUnitSetProperty(unit, id, scope, element, data, size);
    AURenderCallbackStruct original{};
    std::memcpy(&original, data, sizeof original);
    auto trampoline = std::make_unique<Trampoline>();
    trampoline->callback = original.inputProc;
    trampoline->refCon = original.inputProcRefCon;
    trampoline->isOutput = !input;
    trampoline->unit = unit;
    const AURenderCallbackStruct wrapped{&timed, trampoline.get()};
    {
        std::lock_guard lock(gTrampolinesMutex);
        for (const auto& [named, device] : gUnitDevices) {
            if (named == unit)
                trampoline->device = device;
        }
        if (!input) {
            // The pipeline's input trampoline is the latest one on the same ring.
            auto* ctx = static_cast<forwarder::OutputRenderContext*>(original.inputProcRefCon);
            ctx->fillTargetSamples = gTargetSamples;
            for (const auto& t : gTrampolines) {
                if (!t->isOutput &&
                    &static_cast<forwarder::InputCallbackContext*>(t->refCon)->ringBuffer ==
                        &ctx->ringBuffer) {
                    trampoline->partner = t.get();
                }
            }
        }
        gTrampolines.push_back(std::move(trampoline));
    }
    return __real_AudioUnitSetProperty(unit, id, scope, element, &wrapped, sizeof wrapped);
}

// The input unit's render: on an armed period, the pair carries one impulse and nothing else.
OSStatus __wrap_AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* flags,
                                const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                                AudioBufferList* data) {
    const OSStatus status = __real_AudioUnitRender(unit, flags, time, bus, frames, data);
    if (status != noErr || !gArmImpulse.load() || time == nullptr || data == nullptr ||
        data->mBuffers[0].mData == nullptr)
        return status;
    static thread_local Trampoline* cached = nullptr;
    if (cached == nullptr || cached->unit != unit)
        cached = trampolineOfInputUnit(unit);
    const int64_t now = nowNanos();
    if (cached == nullptr)
        return status;
    const int64_t inFlight = cached->impulseSentNanos.load();
    if ((inFlight != 0 && now - inFlight < kImpulseLostNanos) || !gArmImpulse.exchange(false))
        return status;
    auto* samples = static_cast<float*>(data->mBuffers[0].mData);
    std::fill(samples, samples + 2 * size_t(frames), 0.0f);
    samples[0] = samples[1] = kImpulse;
    // The impulse entered the virtual device at the period's first frame, a period before now.
    cached->impulseSampleTime = int64_t(time->mSampleTime);
    cached->impulseSentNanos = now - int64_t(double(frames) * 1e9 / kRate);
    return status;
}
}

namespace {

struct Options {
    int pipelines = 4;
    int apps = 0; // 0: one per pipeline
    double seconds = 60.0;
    double ppm = 0.0;
    UInt32 frames = 512;
    double targetMs = 0.0; // 0: the priming threshold
};

constexpr const char* kUsage = "usage: sonarill-engine-soak [--pipelines 1..8] [--apps 1..1000] "
                               "[--seconds S] [--ppm P] [--frames 15..4096] [--target-ms T]\n";

// A count is decimal digits and nothing else: "1.5", "0x200", "+2" and "" are none.
std::optional<long> parseCount(const char* text, long min, long max) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9 || std::strspn(text, "0123456789") != length)
        return std::nullopt;
    const long value = std::strtol(text, nullptr, 10);
    return value >= min && value <= max ? std::optional(value) : std::nullopt;
}

// A finite decimal number; strtod would also take hexadecimal.
std::optional<double> parseNumber(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || std::strpbrk(text, "xX"))
        return std::nullopt;
    return value;
}

base::Expected<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (i + 1 == argc)
            return base::Failure{name + " needs a value"};
        const char* text = argv[i + 1];
        const auto refuse = [&](const char* expected) {
            return base::Failure{name + ": expected " + expected + ", got \"" + text + "\""};
        };
        if (name == "--pipelines") {
            const auto count = parseCount(text, 1, 8);
            if (!count)
                return refuse("a whole number from 1 to 8");
            options.pipelines = int(*count);
        } else if (name == "--apps") {
            const auto count = parseCount(text, 1, 1000);
            if (!count)
                return refuse("a whole number from 1 to 1000");
            options.apps = int(*count);
        } else if (name == "--frames") {
            const auto count = parseCount(text, sim::kMinBufferFrameSize, sim::kMaxBufferFrameSize);
            if (!count)
                return refuse("a whole number from 15 to 4096");
            options.frames = UInt32(*count);
        } else if (name == "--seconds") {
            const auto seconds = parseNumber(text);
            if (!seconds || *seconds <= 0)
                return refuse("a number of seconds above 0");
            options.seconds = *seconds;
        } else if (name == "--ppm") {
            const auto ppm = parseNumber(text);
            if (!ppm || std::fabs(*ppm) >= 100000)
                return refuse("a number between -100000 and 100000");
            options.ppm = *ppm;
        } else if (name == "--target-ms") {
            const auto ms = parseNumber(text);
            if (!ms || *ms <= 0 || *ms > 300)
                return refuse("a number of milliseconds above 0 and at most 300");
            options.targetMs = *ms;
        } else {
            return base::Failure{"unknown option \"" + name + "\""};
        }
    }
    return options;
}

// SIGINT and SIGTERM end the run early: blocked in every thread (call before any starts) and
// taken by the main thread while it waits, so clean-up runs on the normal path.
sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Waits up to `seconds` (at least a moment); returns the stop signal that came, or 0.
int waitForStopSignal(const sigset_t& signals, double seconds) {
    const auto nanos = int64_t(std::clamp(seconds, 0.001, 1.0) * 1e9);
    const timespec timeout{time_t(nanos / 1'000'000'000), long(nanos % 1'000'000'000)};
    const int got = sigtimedwait(&signals, nullptr, &timeout);
    return got > 0 ? got : 0;
}

// The run's home and data folder, so the log and the simulated plug-in folder stay out of the
// user's own; removed however the run ends.
class ScratchFolder {
public:
    bool create() {
        path_ = std::filesystem::temp_directory_path() / "sonarill-soak-XXXXXX";
        return mkdtemp(path_.data()) != nullptr;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Once the run is over, the simulation is left still: an empty world on the manual clock, whose
// threads then no longer act on the scratch folder going away, nor on anything else at exit.
struct StillSimulationAtEnd {
    ~StillSimulationAtEnd() { (void)sim::resetWorld(sim::World{}, sim::TimelineClock::manual); }
};

std::string routeText(int pipelines, int apps) {
    std::string text = "devices:\n";
    for (int i = 0; i < pipelines; ++i)
        text += "- uid: \"soak-" + std::to_string(i) + "\"\n  name: \"Soak " + std::to_string(i) +
                "\"\n  enabled: true\n  sort_order: " + std::to_string(i) + "\n";
    text += "app_routes:\n";
    for (int i = 0; i < apps; ++i)
        text += "- bundle_id: \"com.example.tone" + std::to_string(i) +
                "\"\n  device_uid: \"soak-" + std::to_string(i % pipelines) + "\"\n  volume: 1.0\n";
    return text;
}

bool setVirtualProperty(AudioObjectPropertySelector selector, UInt32 size, const void* data) {
    const std::optional<AudioObjectID> virtualID = audio::findDeviceByUID(sim::kVirtualDeviceUID);
    if (!virtualID)
        return false;
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    return AudioObjectSetPropertyData(*virtualID, &address, 0, nullptr, size, data) == noErr;
}

// The last impulse played, measured twice more: where it lies in the device's recording, by the
// units' clocks, and by the wall clock when the callbacks ran. Only once the units are disposed
// of.
struct LatencyCheck {
    long recordedSamples;
    long callbacksSamples;
};

std::optional<LatencyCheck> checkLastImpulse() {
    const Trampoline* output = nullptr;
    for (const auto& t : gTrampolines) {
        if (t->isOutput && t->partner != nullptr && t->lastImpulse.sampleTime >= 0 &&
            (output == nullptr || t->lastImpulse.sampleTime > output->lastImpulse.sampleTime))
            output = t.get();
    }
    if (output == nullptr)
        return std::nullopt;
    // The recording counts from the first unit that played to the device.
    const auto sameDevice = [&](const auto& t) {
        return t->isOutput && t->device == output->device;
    };
    if (std::count_if(gTrampolines.begin(), gTrampolines.end(), sameDevice) != 1)
        return std::nullopt;
    std::string uid;
    for (const sim::Device& device : sim::devices()) {
        if (device.id == output->device)
            uid = device.uid;
    }
    const UInt64 played = sim::framesPlayed(uid);
    const std::vector<float> recent = sim::recentlyPlayed(uid, std::numeric_limits<size_t>::max());
    const UInt64 frames = recent.size() / 2;
    std::optional<UInt64> at;
    for (UInt64 i = frames; i-- > 0 && !at;) {
        if (recent[2 * i] > 0.5f * kImpulse)
            at = played - frames + i;
    }
    if (!at)
        return std::nullopt;
    const double recorded = clockLatencyNanos(
        *output->partner, double(output->lastImpulse.sampleTime), *output, double(*at));
    return LatencyCheck{
        std::lround(recorded * kRate / 1e9),
        std::lround(double(output->lastImpulse.callbacksLatencyNanos) * kRate / 1e9)};
}

void printWhen(const char* name, int64_t eventNanos, int64_t startNanos) {
    if (eventNanos == 0)
        std::printf("%s=none\n", name);
    else
        std::printf("%s=%.2f\n", name, double(eventNanos - startNanos) / 1e9);
}

// The worst THD+N of the tone among the devices' last half second, and how many devices played
// silence then (no tone to judge: a pipeline waiting to prime, or nothing mixed for it).
struct ToneFigures {
    std::optional<double> worstDb;
    int silentDevices = 0;
};

ToneFigures toneFigures() {
    constexpr size_t kFrames = 24000;
    ToneFigures figures;
    for (const sim::Device& device : sim::devices()) {
        const std::vector<float> recent = sim::recentlyPlayed(device.uid, kFrames);
        if (device.uid.rfind("soak-", 0) != 0 || recent.size() < 2 * kFrames)
            continue;
        if (std::all_of(recent.begin(), recent.end(), [](float s) { return s == 0.0f; })) {
            ++figures.silentDevices;
            continue;
        }
        const double db = sim::toneNoiseDecibels(recent.data(), kFrames, 2, 0, kToneHz);
        figures.worstDb = std::max(figures.worstDb.value_or(db), db);
    }
    return figures;
}

void printFigures(double seconds, UInt32 frames, int64_t startNanos) {
    std::printf("seconds=%.2f\n", seconds);
    std::printf("impulses_measured=%llu\n", static_cast<unsigned long long>(gLatencyNanos.count()));
    if (gLatencyNanos.count() > 0) {
        const double primingMs = double(forwarder::primingThreshold(frames)) / 2.0 / kRate * 1e3;
        const double totalMs = gLatencyNanos.percentileNanos(0.5) / 1e6;
        std::printf("latency_priming_ms=%.2f\n", primingMs);
        std::printf("latency_phase_ms=%.2f\n", totalMs - primingMs);
        std::printf("latency_total_ms=%.2f\n", totalMs);
        std::printf("latency_total_min_ms=%.2f\n", gLatencyNanos.minNanos() / 1e6);
        std::printf("latency_total_max_ms=%.2f\n", gLatencyNanos.maxNanos() / 1e6);
        if (const auto check = checkLastImpulse()) {
            std::printf("latency_check_recorded_samples=%ld\n", check->recordedSamples);
            std::printf("latency_check_callbacks_samples=%ld\n", check->callbacksSamples);
        }
    }
    const double minutes = seconds / 60.0;
    std::printf("underruns_per_min=%.2f\n", double(gUnderruns.load()) / minutes);
    std::printf("overflows_per_min=%.2f\n", double(gOverflows.load()) / minutes);
    printWhen("first_underrun_s", gFirstUnderrunNanos.load(), startNanos);
    printWhen("first_overflow_s", gFirstOverflowNanos.load(), startNanos);
    const double hours = seconds / 3600.0;
    std::printf("dropouts_per_hour=%.1f\n", double(gUnderruns.load() + gOverflows.load()) / hours);
    std::printf("underruns_per_hour=%.1f\n", double(gUnderruns.load()) / hours);
    std::printf("overflows_per_hour=%.1f\n", double(gOverflows.load()) / hours);
    std::printf("skips_per_hour=%.1f\n", double(gSkips.load()) / hours);
    std::printf("settled_from_s=%.2f\n", double(gSettledNanos - startNanos) / 1e9);
    std::printf("fill_target_frames=%lld\n",
                static_cast<long long>(forwarder::fillTargetFrames(gTargetSamples, frames)));
    if (gFillFrames.count() > 0) {
        std::printf("fill_mean_frames=%.1f\n", gFillFrames.mean());
        std::printf("fill_sd_frames=%.1f\n", gFillFrames.standardDeviation());
        std::printf("fill_min_frames=%.0f\n", gFillFrames.minNanos());
        std::printf("fill_max_frames=%.0f\n", gFillFrames.maxNanos());
        std::printf("ratio_min_ppm=%.1f\n", gMinPpm.load());
        std::printf("ratio_max_ppm=%.1f\n", gMaxPpm.load());
    }
    if (gSettledLatencyNanos.count() > 0) {
        std::printf("latency_mean_ms=%.2f\n", gSettledLatencyNanos.mean() / 1e6);
        std::printf("latency_sd_ms=%.2f\n", gSettledLatencyNanos.standardDeviation() / 1e6);
    }
    // An episode still under way when the units stopped lasted until then.
    const int64_t stopped = nowNanos();
    for (const auto& t : gTrampolines)
        noteOffTarget(*t, false, stopped);
    std::printf("off_target_episodes=%llu\n",
                static_cast<unsigned long long>(gOffTargetEpisodes.load()));
    std::printf("off_target_max_s=%.2f\n", double(gOffTargetMaxNanos.load()) / 1e9);
    const ToneFigures tone = toneFigures();
    if (tone.worstDb)
        std::printf("thdn_db=%.1f\n", *tone.worstDb);
    std::printf("silent_at_end=%d\n", tone.silentDevices);
    if (gCallbackNanos.count() > 0) {
        std::printf("callback_p50_us=%.2f\n", gCallbackNanos.percentileNanos(0.5) / 1e3);
        std::printf("callback_p99_us=%.2f\n", gCallbackNanos.percentileNanos(0.99) / 1e3);
        std::printf("callback_max_us=%.2f\n", gCallbackNanos.maxNanos() / 1e3);
    }
}

} // namespace

int main(int argc, char** argv) {
    const sigset_t stopSignals = blockStopSignals();
    std::signal(SIGPIPE, SIG_IGN); // a reader gone early costs the figures, not the clean-up
    const base::Expected<Options> options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "sonarill-engine-soak: %s\n%s", options.error().c_str(), kUsage);
        return 2;
    }
    ScratchFolder scratch;
    if (!scratch.create()) {
        std::perror("sonarill-engine-soak: cannot create a scratch folder");
        return 1;
    }
    setenv("HOME", scratch.path().c_str(), 1);
    setenv("XDG_DATA_HOME", scratch.path().c_str(), 1);

    // The engine's log lines echo on standard output; the figures alone go there.
    std::fflush(stdout);
    const int figuresOut = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    if (figuresOut < 0 || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) {
        std::perror("sonarill-engine-soak: cannot set standard output aside");
        return 1;
    }
    close(devNull);

    sim::World world;
    for (int i = 0; i < options->pipelines; ++i)
        world.devices.push_back({.uid = "soak-" + std::to_string(i),
                                 .name = "Soak " + std::to_string(i),
                                 .transport = kAudioDeviceTransportTypeUSB,
                                 .outputChannels = 2,
                                 .bufferFrameSize = options->frames,
                                 .ppm = options->ppm});
    const int apps = options->apps > 0 ? options->apps : options->pipelines;
    for (int i = 0; i < apps; ++i)
        world.apps.push_back({.bundleId = "com.example.tone" + std::to_string(i),
                              .name = "Tone",
                              .toneHz = kToneHz,
                              .level = 0.5});
    world.plugin.installed = true;
    gOutputRate = kRate * (1.0 + options->ppm * 1e-6);
    gTargetSamples = 2 * int64_t(std::lround(options->targetMs * kRate / 1e3));
    const StillSimulationAtEnd still;
    if (auto reset = sim::resetWorld(world, sim::TimelineClock::realTime); !reset) {
        std::fprintf(stderr, "sonarill-engine-soak: %s\n", reset.error().c_str());
        return 1;
    }
    const UInt32 frames = options->frames;
    if (!setVirtualProperty(kAudioDevicePropertyBufferFrameSize, sizeof frames, &frames)) {
        std::fputs("sonarill-engine-soak: cannot set the virtual device's period\n", stderr);
        return 1;
    }
    // The applications play into the virtual device once it is the default output, as when the
    // application has taken the output over.
    if (!sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, sim::kVirtualDeviceUID)) {
        std::fputs("sonarill-engine-soak: cannot make the virtual device the default\n", stderr);
        return 1;
    }
    const std::string text = routeText(options->pipelines, apps);
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    const bool pushed =
        setVirtualProperty(audio::kRouteConfigPropertySelector, sizeof string, &string);
    CFRelease(string);

    std::vector<forwarder::OutputRoute> routes;
    for (int i = 0; i < options->pipelines; ++i)
        routes.push_back({"soak-" + std::to_string(i), i, 1.0f});
    forwarder::AudioForwarder& engine = forwarder::AudioForwarder::shared();
    const int64_t start = nowNanos();
    gSettledNanos = start + int64_t(std::min(30.0, options->seconds / 4.0) * 1e9);
    if (!pushed || !engine.setOutputRoutes(routes)) {
        std::fputs("sonarill-engine-soak: the engine did not start\n", stderr);
        return 1;
    }
    // An impulse every half second once the pipelines have primed, until the last seconds, then
    // the tone alone until the time is up or a stop signal comes.
    const auto elapsed = [&] { return double(nowNanos() - start) / 1e9; };
    int stopSignal = waitForStopSignal(stopSignals, std::min(0.3, options->seconds));
    while (stopSignal == 0 && elapsed() < options->seconds) {
        gArmImpulse = elapsed() < options->seconds - kQuietSeconds;
        stopSignal = waitForStopSignal(stopSignals, std::min(0.5, options->seconds - elapsed()));
    }
    gArmImpulse = false;
    const double seconds = elapsed();
    engine.stop();

    std::fflush(stdout);
    dup2(figuresOut, STDOUT_FILENO);
    close(figuresOut);
    printFigures(seconds, frames, start);
    return stopSignal == 0 ? 0 : 128 + stopSignal;
}
