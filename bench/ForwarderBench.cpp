// What one pipeline costs its I/O threads per 512-frame period: the input side's write of the
// rendered pair into the ring and the output side's render callback (priming check, read,
// volume), beside a plain memcpy of the same bytes in and out. Prints the ratio at the end.
#include "forwarder/Callbacks.h"
#include "forwarder/StereoRingBuffer.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace sonarill::forwarder;

namespace {

constexpr UInt32 kFrames = 512;
constexpr int64_t kSamples = 2 * kFrames;

void forwarderPeriod(benchmark::State& state) {
    auto ring = std::make_unique<StereoRingBuffer>();
    OutputRenderContext ctx(*ring, 0.5f);
    std::vector<float> input(kSamples, 0.25f), output(kSamples);
    AudioBufferList list{1, {{2, kFrames * 8, output.data()}}};
    ring->write(std::vector<float>(4096, 0.0f).data(), 4096); // primed from the start
    for (auto _ : state) {
        ring->write(input.data(), kSamples);
        outputRenderCallback(&ctx, nullptr, nullptr, 0, kFrames, &list);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSamples * 4 * 2);
}
BENCHMARK(forwarderPeriod);

void memcpyPeriod(benchmark::State& state) {
    std::vector<float> input(kSamples, 0.25f), middle(kSamples), output(kSamples);
    for (auto _ : state) {
        std::memcpy(middle.data(), input.data(), kSamples * 4);
        benchmark::ClobberMemory();
        std::memcpy(output.data(), middle.data(), kSamples * 4);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kSamples * 4 * 2);
}
BENCHMARK(memcpyPeriod);

// The console report, plus the nanoseconds per iteration of each run for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                nanoseconds[run.benchmark_name()] = {
                    run.GetAdjustedRealTime() * 1e9 /
                        benchmark::GetTimeUnitMultiplier(run.time_unit),
                    run.GetAdjustedCPUTime() * 1e9 /
                        benchmark::GetTimeUnitMultiplier(run.time_unit)};
        }
    }
    // Real and CPU time: on a loaded machine the CPU time is the steadier figure.
    std::map<std::string, std::pair<double, double>> nanoseconds;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto forwarder = reporter.nanoseconds.find("forwarderPeriod");
    const auto copy = reporter.nanoseconds.find("memcpyPeriod");
    if (forwarder != reporter.nanoseconds.end() && copy != reporter.nanoseconds.end() &&
        copy->second.first > 0 && copy->second.second > 0)
        std::printf("forwarder_period_ns=%.1f memcpy_period_ns=%.1f ratio=%.2f "
                    "(cpu: %.1f, %.1f, ratio=%.2f)\n",
                    forwarder->second.first, copy->second.first,
                    forwarder->second.first / copy->second.first, forwarder->second.second,
                    copy->second.second, forwarder->second.second / copy->second.second);
    benchmark::Shutdown();
    return 0;
}
