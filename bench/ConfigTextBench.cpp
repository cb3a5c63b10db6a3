// The configuration text is written and pushed after every routing change: how long do writing
// and reading take for a large setup?
#include "routing/ConfigText.h"

#include <benchmark/benchmark.h>

using namespace sonarill::routing;

namespace {

PersistedConfig largeConfig(int devices, int routes) {
    PersistedConfig config;
    for (int i = 0; i < devices; ++i)
        config.devices.push_back({"AppleUSBAudioEngine:Vendor:Device:" + std::to_string(i),
                                  "USB Audio \"Device\" " + std::to_string(i), "Desk ü", i % 2 == 0,
                                  i, 0.75f});
    for (int i = 0; i < routes; ++i)
        config.appRoutes.push_back({"com.example.app" + std::to_string(i),
                                    "AppleUSBAudioEngine:Vendor:Device:" + std::to_string(i % 8),
                                    0.5f});
    return config;
}

void writeConfig(benchmark::State& state) {
    const PersistedConfig config = largeConfig(16, static_cast<int>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        std::string text = makeConfigYAML(config);
        bytes += text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void readConfig(benchmark::State& state) {
    const std::string text = makeConfigYAML(largeConfig(16, static_cast<int>(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(parseSimpleYAMLConfig(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(writeConfig)->Arg(10)->Arg(200);
BENCHMARK(readConfig)->Arg(10)->Arg(200);
