// What one IO cycle of the virtual device costs the audio server's IO thread with 512 frames and
// 1, 8 or 32 clients (ReadInput, each client's ProcessOutput, WriteMix, through the plug-in
// interface of the built module), beside a memcpy of the same bytes: each client's period in and
// the 16-channel input side out. Prints the ratios at the end.
#include "audio/AudioServerPlugInAPI.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr UInt32 kFrames = 512;

AudioServerPlugInDriverRef loadDriver() {
    void* module =
        dlopen(SONARILL_DRIVER_BUNDLE "/Contents/MacOS/libtidewell.dylib", RTLD_NOW | RTLD_LOCAL);
    auto factory = module != nullptr ? reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(
                                           dlsym(module, "SonarillDriverFactory"))
                                     : nullptr;
    if (factory == nullptr) {
        std::fprintf(stderr, "cannot load the driver: %s\n", dlerror());
        std::exit(1);
    }
    return static_cast<AudioServerPlugInDriverRef>(factory(nullptr, kAudioServerPlugInTypeUUID));
}

// Clients spread over the 8 buses, each with a route.
void setUp(AudioServerPlugInDriverRef driver, UInt32 clients) {
    std::string text = "devices:\n";
    for (int bus = 0; bus < 8; ++bus)
        text += "- uid: \"D" + std::to_string(bus) +
                "\"\n  name: \"D\"\n  sort_order: " + std::to_string(bus) + "\n";
    text += "app_routes:\n";
    for (UInt32 id = 1; id <= clients; ++id)
        text += "- bundle_id: \"com.example.app" + std::to_string(id) + "\"\n  device_uid: \"D" +
                std::to_string(id % 8) + "\"\n  volume: 0.5\n";
    CFStringRef value = CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
    const AudioObjectPropertyAddress address{('s' << 24) | ('n' << 16) | ('r' << 8) | 'c',
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    (*driver)->SetPropertyData(driver, 2, 0, &address, 0, nullptr, sizeof value, &value);
    CFRelease(value);
    for (UInt32 id = 1; id <= clients; ++id) {
        CFStringRef bundle = CFStringCreateWithCString(
            nullptr, ("com.example.app" + std::to_string(id)).c_str(), kCFStringEncodingUTF8);
        const AudioServerPlugInClientInfo info{id, 100, true, bundle};
        (*driver)->AddDeviceClient(driver, 2, &info);
        CFRelease(bundle);
    }
}

void driverCycle(benchmark::State& state) {
    const auto clients = UInt32(state.range(0));
    AudioServerPlugInDriverRef driver = loadDriver();
    setUp(driver, clients);
    (*driver)->StartIO(driver, 2, 1);
    std::vector<float> input(kFrames * 16), output(kFrames * 2, 0.25f);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = kFrames;
    for (auto _ : state) {
        ++cycle.mIOCycleCounter;
        cycle.mInputTime.mSampleTime += kFrames;
        cycle.mOutputTime.mSampleTime += kFrames;
        auto& d = **driver;
        d.DoIOOperation(driver, 2, 4, 0, kAudioServerPlugInIOOperationReadInput, kFrames, &cycle,
                        input.data(), nullptr);
        for (UInt32 id = 1; id <= clients; ++id)
            d.DoIOOperation(driver, 2, 3, id, kAudioServerPlugInIOOperationProcessOutput, kFrames,
                            &cycle, output.data(), nullptr);
        d.DoIOOperation(driver, 2, 3, 0, kAudioServerPlugInIOOperationWriteMix, kFrames, &cycle,
                        output.data(), nullptr);
        benchmark::DoNotOptimize(input.data());
        benchmark::ClobberMemory();
    }
    (*driver)->StopIO(driver, 2, 1);
    (*driver)->Release(driver);
    state.SetBytesProcessed(int64_t(state.iterations()) * (clients * 2 + 16) * kFrames * 4);
}
BENCHMARK(driverCycle)->Arg(1)->Arg(8)->Arg(32);

void memcpyCycle(benchmark::State& state) {
    const auto clients = size_t(state.range(0));
    std::vector<float> from((clients * 2 + 16) * kFrames, 0.25f), to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size() * 4);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(from.size()) * 4);
}
BENCHMARK(memcpyCycle)->Arg(1)->Arg(8)->Arg(32);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                cpuNanoseconds[run.benchmark_name()] =
                    run.GetAdjustedCPUTime() * 1e9 /
                    benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    // CPU time: on a loaded machine the steadier figure.
    std::map<std::string, double> cpuNanoseconds;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* clients : {"1", "8", "32"}) {
        const auto cycle = reporter.cpuNanoseconds.find(std::string("driverCycle/") + clients);
        const auto copy = reporter.cpuNanoseconds.find(std::string("memcpyCycle/") + clients);
        if (cycle != reporter.cpuNanoseconds.end() && copy != reporter.cpuNanoseconds.end() &&
            copy->second > 0)
            std::printf("clients=%s driver_cycle_ns=%.1f memcpy_ns=%.1f ratio=%.1f\n", clients,
                        cycle->second, copy->second, cycle->second / copy->second);
    }
    benchmark::Shutdown();
    return 0;
}
