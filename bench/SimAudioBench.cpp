// The simulated audio paths run once per device period on the I/O threads: what does the
// driver's mix of a 512-frame period cost with many applications, and what does recording it
// cost a device?
#include "sim/Driver.h"
#include "sim/Recording.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using namespace sonarill::sim;

namespace {

constexpr UInt32 kPeriod = 512;

// `apps` applications, spread over 8 active devices.
void renderPeriod(benchmark::State& state) {
    const auto apps = int(state.range(0));
    std::string text = "devices:\n";
    for (int d = 0; d < 8; ++d)
        text += "- uid: \"dev" + std::to_string(d) +
                "\"\n  enabled: true\n  sort_order: " + std::to_string(d) + "\n";
    text += "app_routes:\n";
    std::vector<App> running;
    for (int a = 0; a < apps; ++a) {
        const std::string id = "com.example.app" + std::to_string(a);
        text += "- bundle_id: \"" + id + "\"\n  device_uid: \"dev" + std::to_string(a % 8) +
                "\"\n  volume: 0.500000\n";
        running.push_back({.bundleId = id, .name = "App", .toneHz = 220.0 + 10 * a});
    }
    DriverMix mix;
    mix.setRouteText(text);
    mix.setApps(running);
    std::vector<float> out(kPeriod * kVirtualInputChannels);
    double at = 0;
    for (auto _ : state) {
        mix.render(at, kPeriod, out.data());
        benchmark::DoNotOptimize(out.data());
        at += kPeriod;
    }
    state.SetItemsProcessed(state.iterations() * kPeriod);
}
BENCHMARK(renderPeriod)->Arg(1)->Arg(8)->Arg(32);

// Argument 0: the window alone, the cost on the device's thread. Argument 1: with a file; a
// loop faster than real time outruns the writer thread, so this is the sustained throughput of
// recording (what a manual clock advancing minutes at once gets), not the cost of one call.
void recordPeriod(benchmark::State& state) {
    std::string dir = std::filesystem::temp_directory_path() / "sonarill-bench-XXXXXX";
    if (state.range(0) != 0 && !mkdtemp(dir.data()))
        state.SkipWithError("no temporary folder");
    {
        DeviceRecorder recorder("Speakers", state.range(0) != 0 ? dir : std::string());
        const std::vector<float> block(kPeriod * 2, 0.25f);
        for (auto _ : state)
            recorder.played(block.data(), kPeriod);
        state.SetItemsProcessed(state.iterations() * kPeriod);
    }
    if (state.range(0) != 0)
        std::filesystem::remove_all(dir);
}
BENCHMARK(recordPeriod)->Arg(0)->Arg(1);

} // namespace
