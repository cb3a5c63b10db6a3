// sonarill-engine-soak --pipelines N --seconds S --ppm P --frames F
//
// Runs the forwarding engine on the simulated audio system's real-time clock: N physical devices
// whose clocks run P ppm off the virtual device's, every device and the virtual device at F-frame
// periods, one application tone per device. Prints one name=value line per figure.
//
// The engine is the product's own; the tool only watches it. The linker hands the forwarder's
// unit calls to the __wrap_ functions below (--wrap): installing a callback installs a timing
// trampoline around it, and the input unit's render of the virtual device's input can carry an
// impulse, which the output side then finds in what it plays.

#include "audio/CoreAudioAPI.h"
#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "forwarder/Callbacks.h"
#include "sim/Control.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
using SteadyClock = std::chrono::steady_clock;

constexpr float kImpulse = 1.0f; // louder than any tone, which stays at 0.5

// One installed callback and what was seen of it. Written by its unit's I/O thread only; read
// after the units are disposed of.
struct Trampoline {
    AURenderCallback callback = nullptr;
    void* refCon = nullptr;
    bool isOutput = false;
    AudioUnit unit = nullptr;
    std::vector<float> durationsMicros; // reserved up front: the I/O thread never allocates
    size_t count = 0;
    size_t underruns = 0;
    size_t overflows = 0;
    // Impulses: the input side stamps when it sent one, the output side when it played it.
    std::atomic<int64_t> impulseSentNanos{0};
    std::vector<double> latenciesMs;
    size_t latencyCount = 0;
    Trampoline* partner = nullptr; // input <-> output of one pipeline
};

std::mutex gTrampolinesMutex;
std::vector<std::unique_ptr<Trampoline>> gTrampolines;
size_t gReserve = 0;
std::atomic<bool> gArmImpulse{false};

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               SteadyClock::now().time_since_epoch())
        .count();
}

OSStatus timed(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time,
               UInt32 bus, UInt32 frames, AudioBufferList* data) {
    auto& t = *static_cast<Trampoline*>(refCon);
    int64_t before = 0;
    bool wasPrimed = false;
    if (t.isOutput) {
        wasPrimed = static_cast<forwarder::OutputRenderContext*>(t.refCon)->isPrimed;
    } else {
        before = static_cast<forwarder::InputCallbackContext*>(t.refCon)->ringBuffer.available();
    }
    const auto start = SteadyClock::now();
    const OSStatus status = t.callback(t.refCon, flags, time, bus, frames, data);
    const auto end = SteadyClock::now();
    if (t.count < t.durationsMicros.size())
        t.durationsMicros[t.count++] =
            float(std::chrono::duration<double, std::micro>(end - start).count());
    if (t.isOutput) {
        auto& ctx = *static_cast<forwarder::OutputRenderContext*>(t.refCon);
        if (wasPrimed && !ctx.isPrimed)
            ++t.underruns;
        // The impulse: the first sample above every tone.
        if (t.partner != nullptr && data != nullptr && data->mNumberBuffers == 1) {
            const int64_t sent = t.partner->impulseSentNanos.load();
            const auto* samples = static_cast<const float*>(data->mBuffers[0].mData);
            const UInt32 count = data->mBuffers[0].mDataByteSize / 4;
            for (UInt32 i = 0; sent != 0 && samples != nullptr && i < count; ++i) {
                if (samples[i] > 0.9f * kImpulse) {
                    // Played at the start of this period plus its position in it.
                    const double ms = double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 start.time_since_epoch())
                                                 .count() -
                                             sent) /
                                          1e6 +
                                      double(i / 2) / 48.0;
                    if (t.latencyCount < t.latenciesMs.size())
                        t.latenciesMs[t.latencyCount++] = ms;
                    t.partner->impulseSentNanos = 0;
                    break;
                }
            }
        }
    } else if (before + 2 * int64_t(frames) > forwarder::StereoRingBuffer::kCapacity) {
        ++t.overflows;
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

// Installing either callback installs a trampoline around it.
OSStatus __wrap_AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void* data, UInt32 size) {
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
    trampoline->durationsMicros.assign(gReserve, 0.0f);
    trampoline->latenciesMs.assign(4096, 0.0);
    const AURenderCallbackStruct wrapped{&timed, trampoline.get()};
    {
        std::lock_guard lock(gTrampolinesMutex);
        if (!input) {
            // The pipeline's input trampoline is the latest one on the same ring.
            const auto* ctx =
                static_cast<forwarder::OutputRenderContext*>(original.inputProcRefCon);
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
    if (status != noErr || !gArmImpulse.load() || data == nullptr ||
        data->mBuffers[0].mData == nullptr)
        return status;
    static thread_local Trampoline* cached = nullptr;
    if (cached == nullptr || cached->unit != unit)
        cached = trampolineOfInputUnit(unit);
    if (cached == nullptr || cached->impulseSentNanos.load() != 0)
        return status;
    if (!gArmImpulse.exchange(false))
        return status;
    auto* samples = static_cast<float*>(data->mBuffers[0].mData);
    std::fill(samples, samples + 2 * size_t(frames), 0.0f);
    samples[0] = samples[1] = kImpulse;
    // The impulse entered the virtual device at the period's first frame, a period before now.
    cached->impulseSentNanos = nowNanos() - int64_t(frames) * 1000000000 / 48000;
    return status;
}
}

namespace {

struct Options {
    int pipelines = 4;
    double seconds = 60.0;
    double ppm = 0.0;
    UInt32 frames = 512;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        char* end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (end == argv[i + 1] || *end != '\0' || !std::isfinite(value))
            return std::nullopt;
        if (name == "--pipelines" && value >= 1 && value <= 8)
            options.pipelines = int(value);
        else if (name == "--seconds" && value > 0)
            options.seconds = value;
        else if (name == "--ppm" && std::fabs(value) < 100000)
            options.ppm = value;
        else if (name == "--frames" && value >= sim::kMinBufferFrameSize &&
                 value <= sim::kMaxBufferFrameSize)
            options.frames = UInt32(value);
        else
            return std::nullopt;
    }
    if (argc % 2 == 0)
        return std::nullopt;
    return options;
}

double percentile(std::vector<float> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

std::string routeText(int pipelines) {
    std::string text = "devices:\n";
    for (int i = 0; i < pipelines; ++i)
        text += "- uid: \"soak-" + std::to_string(i) +
                "\"\n  enabled: true\n  sort_order: " + std::to_string(i) + "\n";
    text += "app_routes:\n";
    for (int i = 0; i < pipelines; ++i)
        text += "- bundle_id: \"com.example.tone" + std::to_string(i) +
                "\"\n  device_uid: \"soak-" + std::to_string(i) + "\"\n  volume: 1.0\n";
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

} // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::fputs("usage: sonarill-engine-soak [--pipelines 1..8] [--seconds S] [--ppm P] "
                   "[--frames 15..4096]\n",
                   stderr);
        return 2;
    }
    // A scratch home and data folder: the log and the simulated plug-in folder stay out of the
    // user's own.
    std::string scratch = (std::filesystem::temp_directory_path() / "sonarill-soak-XXXXXX");
    if (mkdtemp(scratch.data()) == nullptr) {
        std::perror("sonarill-engine-soak: cannot create a scratch folder");
        return 1;
    }
    setenv("HOME", scratch.c_str(), 1);
    setenv("XDG_DATA_HOME", scratch.c_str(), 1);

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
    for (int i = 0; i < options->pipelines; ++i) {
        world.devices.push_back({.uid = "soak-" + std::to_string(i),
                                 .name = "Soak " + std::to_string(i),
                                 .transport = kAudioDeviceTransportTypeUSB,
                                 .outputChannels = 2,
                                 .bufferFrameSize = options->frames,
                                 .ppm = options->ppm});
        world.apps.push_back({.bundleId = "com.example.tone" + std::to_string(i),
                              .name = "Tone",
                              .toneHz = 300.0 + 100.0 * i,
                              .level = 0.5});
    }
    world.plugin.installed = true;
    const double periods = options->seconds * 48000.0 / options->frames;
    gReserve = size_t(periods * 1.1) + 1024;
    if (auto reset = sim::resetWorld(world, sim::TimelineClock::realTime); !reset) {
        std::fprintf(stderr, "sonarill-engine-soak: %s\n", reset.error().c_str());
        return 1;
    }
    const UInt32 frames = options->frames;
    if (!setVirtualProperty(kAudioDevicePropertyBufferFrameSize, sizeof frames, &frames)) {
        std::fputs("sonarill-engine-soak: cannot set the virtual device's period\n", stderr);
        return 1;
    }
    const std::string text = routeText(options->pipelines);
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    const bool pushed =
        setVirtualProperty(audio::kRouteConfigPropertySelector, sizeof string, &string);
    CFRelease(string);

    std::vector<forwarder::OutputRoute> routes;
    for (int i = 0; i < options->pipelines; ++i)
        routes.push_back({"soak-" + std::to_string(i), i, 1.0f});
    forwarder::AudioForwarder& engine = forwarder::AudioForwarder::shared();
    if (!pushed || !engine.setOutputRoutes(routes)) {
        std::fputs("sonarill-engine-soak: the engine did not start\n", stderr);
        return 1;
    }
    // An impulse every half second once the pipelines have primed.
    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::duration<double>(options->seconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (SteadyClock::now() < end) {
        gArmImpulse = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    gArmImpulse = false;
    engine.stop();

    std::vector<float> durations, latencies;
    size_t underruns = 0, overflows = 0;
    for (const auto& t : gTrampolines) {
        durations.insert(durations.end(), t->durationsMicros.begin(),
                         t->durationsMicros.begin() + long(t->count));
        for (size_t i = 0; i < t->latencyCount; ++i)
            latencies.push_back(float(t->latenciesMs[i]));
        underruns += t->underruns;
        overflows += t->overflows;
    }
    std::fflush(stdout);
    dup2(figuresOut, STDOUT_FILENO);
    close(figuresOut);
    const double minutes = options->seconds / 60.0;
    const double floorMs = (double(forwarder::primingThreshold(frames)) / 2.0 + frames) / 48.0;
    std::printf("added_latency_ms=%.2f\n", percentile(latencies, 0.5));
    std::printf("floor_ms=%.2f\n", floorMs);
    std::printf("underruns_per_min=%.2f\n", double(underruns) / minutes);
    std::printf("overflows_per_min=%.2f\n", double(overflows) / minutes);
    std::printf("callback_p50_us=%.2f\n", percentile(durations, 0.5));
    std::printf("callback_p99_us=%.2f\n", percentile(durations, 0.99));
    std::printf("callback_max_us=%.2f\n", percentile(durations, 1.0));
    std::printf("impulses_measured=%zu\n", latencies.size());
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return 0;
}
