// The simulated audio paths run once per device period on the I/O threads: what does recording
// a 512-frame period cost a device? (One IO cycle of the driver itself: bench/DriverBench.cpp.)
#include "sim/Recording.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using namespace sonarill::sim;

namespace {

constexpr UInt32 kPeriod = 512;

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
