// Costs the routing model pays on every change: sorting application names for display and
// saving the configuration file durably.
#include "base/Files.h"
#include "routing/UnicodeText.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<std::string> names(int count) {
    const char* stems[] = {"Safari", "music", "Zoom", "Äpfel", "discord", "Spotify", "résumé"};
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i)
        result.push_back(std::string(stems[i % 7]) + " " + std::to_string(i * 7919 % count));
    return result;
}

void sortNames(benchmark::State& state) {
    const std::vector<std::string> unsorted = names(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::string> list = unsorted;
        std::sort(list.begin(), list.end(), [](const std::string& a, const std::string& b) {
            return sonarill::routing::localizedCaseInsensitiveLess(a, b);
        });
        benchmark::DoNotOptimize(list);
    }
}
BENCHMARK(sortNames)->Arg(500)->Unit(benchmark::kMicrosecond);

// A 2 KB configuration written with its fsyncs, in the folder SONARILL_BENCH_FOLDER names
// (default /tmp): the cost depends on the file system under it.
void writeConfigAtomically(benchmark::State& state) {
    const char* folder = std::getenv("SONARILL_BENCH_FOLDER");
    const std::filesystem::path path =
        std::filesystem::path(folder && *folder ? folder : "/tmp") / "sonarill-bench" / "config";
    const std::string bytes(2048, 'x');
    for (auto _ : state)
        if (!sonarill::base::writeFileAtomically(path, bytes))
            state.SkipWithError("the write failed");
    std::filesystem::remove_all(path.parent_path());
}
BENCHMARK(writeConfigAtomically)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
