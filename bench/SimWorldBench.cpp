// How the simulated audio system scales with its devices: starting a world of N devices, and a
// program's lookup of the last one by UID through the HAL (the device list, then each UID). And
// what one property read costs: the default output and a buffer frame size, which every program
// on the system shares, beside a device's UID, which is the process's own.
#include "audio/DeviceLookup.h"
#include "sim/Control.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace sonarill::sim;

namespace {

World worldOf(int devices) {
    World world;
    for (int i = 0; i < devices; ++i) {
        const std::string uid = "device-" + std::to_string(i);
        world.devices.push_back({.uid = uid, .name = uid, .outputChannels = 2});
    }
    world.plugin.installed = std::nullopt; // leave the plug-in folder alone
    return world;
}

void startWorld(benchmark::State& state) {
    const World world = worldOf(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(resetWorld(world, TimelineClock::manual));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(startWorld)
    ->RangeMultiplier(10)
    ->Range(100, 100000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

void findLastDeviceByUID(benchmark::State& state) {
    (void)resetWorld(worldOf(int(state.range(0))), TimelineClock::manual);
    const std::string last = "device-" + std::to_string(state.range(0) - 1);
    for (auto _ : state)
        benchmark::DoNotOptimize(sonarill::audio::findDeviceByUID(last));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(findLastDeviceByUID)
    ->RangeMultiplier(10)
    ->Range(100, 100000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

template <typename Read> void readProperty(benchmark::State& state, Read read) {
    (void)resetWorld(worldOf(10), TimelineClock::manual);
    for (auto _ : state)
        benchmark::DoNotOptimize(read());
}

void readDefaultOutput(benchmark::State& state) {
    readProperty(state, [] {
        const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        AudioObjectID device = 0;
        UInt32 size = sizeof device;
        return AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                          &device);
    });
}
BENCHMARK(readDefaultOutput)->Unit(benchmark::kMicrosecond);

void readBufferFrameSize(benchmark::State& state) {
    readProperty(state, [] {
        const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        static const AudioObjectID device = *sonarill::audio::findDeviceByUID("device-9");
        UInt32 frames = 0;
        UInt32 size = sizeof frames;
        return AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames);
    });
}
BENCHMARK(readBufferFrameSize)->Unit(benchmark::kMicrosecond);

// A change every program must hear of: written through to the shared state.
void writeBufferFrameSize(benchmark::State& state) {
    UInt32 frames = 512;
    readProperty(state, [&] {
        static const AudioObjectID device = *sonarill::audio::findDeviceByUID("device-9");
        frames = frames == 512 ? 1024 : 512;
        const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        return AudioObjectSetPropertyData(device, &address, 0, nullptr, sizeof frames, &frames);
    });
}
BENCHMARK(writeBufferFrameSize)->Unit(benchmark::kMicrosecond);

void readDeviceUID(benchmark::State& state) {
    readProperty(state, [] {
        static const AudioObjectID device = *sonarill::audio::findDeviceByUID("device-9");
        return sonarill::audio::deviceUID(device);
    });
}
BENCHMARK(readDeviceUID)->Unit(benchmark::kMicrosecond);

} // namespace
