// What the routing model costs with 64 output devices and 500 running applications: a refresh
// tick that finds nothing new, moving an application, one slider step of an application's volume
// (saved with the file synced to disk, pushed to the driver, logged) and a whole start-up, each
// beside writing the configuration file alone. The log goes to its file only, not to the terminal.
#include "base/Files.h"
#include "forwarder/AudioForwarder.h"
#include "platform/ManualMainQueue.h"
#include "platform/NotificationCenter.h"
#include "routing/AudioRoutingViewModel.h"
#include "sim/Control.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using namespace sonarill;

constexpr int kDevices = 64;
constexpr int kApps = 500;

sim::World bigWorld() {
    sim::World world;
    for (int i = 0; i < kDevices; ++i)
        world.devices.push_back({.uid = "Device:" + std::to_string(i),
                                 .name = "Output " + std::to_string(kDevices - i),
                                 .outputChannels = 2});
    world.defaultOutput = "Device:0";
    for (int i = 0; i < kApps; ++i)
        world.apps.push_back({.bundleId = "com.example.app" + std::to_string(i),
                              .name = "App " + std::to_string(i)});
    world.plugin.installed = true;
    world.plugin.loadDelay = 0.0;
    return world;
}

struct Fixture {
    platform::ManualMainQueue queue;
    platform::NotificationCenter notifications;
    forwarder::AudioForwarder forwarder;
    std::filesystem::path configPath =
        *base::homeFolder() / "Library" / "Application Support" / "Sonarill" / "config.yaml";

    std::shared_ptr<routing::AudioRoutingViewModel> start() {
        return routing::AudioRoutingViewModel::create(
            {queue, forwarder, notifications, configPath});
    }
};

Fixture& fixture() {
    static Fixture* const instance = [] {
        (void)sim::resetWorld(bigWorld(), sim::TimelineClock::manual);
        return new Fixture;
    }();
    return *instance;
}

routing::AudioRoutingViewModel& model() {
    static const std::shared_ptr<routing::AudioRoutingViewModel> instance = [] {
        auto started = fixture().start();
        // A second device in use, so moves go between two active devices.
        started->moveApp("com.example.app1", "Device:1");
        return started;
    }();
    return *instance;
}

void refreshTickFindingNothingNew(benchmark::State& state) {
    auto& m = model();
    for (auto _ : state)
        m.refreshRunningApps();
}
BENCHMARK(refreshTickFindingNothingNew)->Unit(benchmark::kMicrosecond);

void moveApp(benchmark::State& state) {
    auto& m = model();
    bool flip = false;
    for (auto _ : state) {
        m.moveApp("com.example.app0", flip ? "Device:0" : "Device:1");
        flip = !flip;
    }
}
BENCHMARK(moveApp)->Unit(benchmark::kMicrosecond)->UseRealTime();

void setVolumeSliderStep(benchmark::State& state) {
    auto& m = model();
    int step = 0;
    for (auto _ : state)
        m.setVolume("com.example.app2", float(step++ % 100) / 100.0f);
}
BENCHMARK(setVolumeSliderStep)->Unit(benchmark::kMicrosecond)->UseRealTime();

void startUp(benchmark::State& state) {
    (void)model();
    for (auto _ : state) {
        auto started = fixture().start();
        benchmark::DoNotOptimize(started);
    }
}
BENCHMARK(startUp)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same text the model saves, written the same way and nothing else.
void writeConfigFileAlone(benchmark::State& state) {
    const std::string text = model().makeConfigYAML();
    state.counters["bytes"] = double(text.size());
    for (auto _ : state)
        if (!base::writeFileAtomically(fixture().configPath, text))
            state.SkipWithError("the write failed");
}
BENCHMARK(writeConfigFileAlone)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // A private home and simulated system, in SONARILL_BENCH_FOLDER (default /tmp): the cost of a
    // synced write depends on the file system under it.
    const char* folder = std::getenv("SONARILL_BENCH_FOLDER");
    const std::filesystem::path root =
        std::filesystem::path(folder && *folder ? folder : "/tmp") / "sonarill-model-bench";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "home");
    setenv("HOME", (root / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);

    // The model logs every step to standard output as well; the figures go to the terminal.
    const int terminal = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    std::ofstream report("/dev/fd/" + std::to_string(terminal));

    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove_all(root);
    return 0;
}
