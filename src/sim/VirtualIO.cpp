// The virtual device's IO cycles, as the audio server runs them for the driver it loaded: each
// cycle asks the driver for the operations it said it will do, in the host's order (ReadInput
// for the input side, ProcessOutput for each client with the client's output, the clients' mix
// for WriteMix), once per cycle of the device whatever the number of units reading its input.
// Cycles are aligned to the device's buffer frame size on its sample time (48 kHz from the start
// of the timeline) and run when a unit first needs their input, so a unit reads the device's
// input frame after frame, as from a device.

#include "sim/Io.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <numbers>

namespace sonarill::sim::io {

namespace {

constexpr double kRate = 48000.0;
// Input the device keeps, by sample time: a power of two, far above any period.
constexpr int64_t kRingFrames = 16384;
constexpr UInt32 kMaxChannels = 64;

struct VirtualIO {
    std::mutex mutex; // orders the cycles and the changes; the HAL lock is never taken inside
    VirtualDriver driver;
    bool readInput = false, processOutput = false, processMix = false, writeMix = false;
    std::vector<VirtualClient> clients;
    int64_t nextCycle = 0; // the sample time the next cycle starts at
    UInt64 counter = 0;
    // Made when the driver comes, used only by the thread running a cycle.
    std::vector<float> ring;     // kRingFrames x input channels
    std::vector<int64_t> stamps; // the sample time each ring frame holds
    std::vector<float> input;    // one cycle of the input side
    std::vector<float> client;   // one client's output in a cycle, stereo
    std::vector<float> mix;      // the clients' mix, stereo
};

// Never destroyed: the audio server's state, destroyed as the process exits, unloads the driver
// through it.
VirtualIO& virtualIO() {
    static VirtualIO& instance = *new VirtualIO;
    return instance;
}

bool willDo(const VirtualDriver& d, UInt32 operation) {
    Boolean will = false, inPlace = true;
    return (*d.driver)->WillDoIOOperation(d.driver, d.device, 0, operation, &will, &inPlace) ==
               noErr &&
           will;
}

void operate(const VirtualDriver& d, AudioObjectID stream, UInt32 client, UInt32 operation,
             UInt32 frames, const AudioServerPlugInIOCycleInfo& cycle, float* buffer) {
    const auto& driver = **d.driver;
    if (driver.BeginIOOperation(d.driver, d.device, client, operation, frames, &cycle) != noErr)
        return;
    (void)driver.DoIOOperation(d.driver, d.device, stream, client, operation, frames, &cycle,
                               buffer, nullptr);
    (void)driver.EndIOOperation(d.driver, d.device, client, operation, frames, &cycle);
}

// One cycle of `frames` frames from sample time `start`, its input kept in the ring.
void runCycle(VirtualIO& v, int64_t start, UInt32 frames) {
    const VirtualDriver& d = v.driver;
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mIOCycleCounter = ++v.counter;
    cycle.mNominalIOBufferFrameSize = frames;
    for (AudioTimeStamp* time : {&cycle.mCurrentTime, &cycle.mInputTime, &cycle.mOutputTime}) {
        time->mSampleTime = double(start);
        time->mRateScalar = 1.0;
        time->mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampRateScalarValid;
    }
    const UInt32 channels = d.inputChannels;
    std::fill_n(v.input.begin(), size_t(frames) * channels, 0.0f);
    if (v.readInput && d.input != kAudioObjectUnknown)
        operate(d, d.input, kAudioServerPlugInHostClientID, kAudioServerPlugInIOOperationReadInput,
                frames, cycle, v.input.data());
    for (UInt32 i = 0; i < frames; ++i) {
        const size_t slot = size_t(uint64_t(start + i) & uint64_t(kRingFrames - 1));
        std::copy_n(v.input.begin() + size_t(i) * channels, channels,
                    v.ring.begin() + slot * channels);
        v.stamps[slot] = start + i;
    }
    std::fill_n(v.mix.begin(), size_t(frames) * 2, 0.0f);
    for (const VirtualClient& client : v.clients) {
        writeTone(client.tone, double(start), frames, v.client.data());
        if (v.processOutput)
            operate(d, d.output, client.id, kAudioServerPlugInIOOperationProcessOutput, frames,
                    cycle, v.client.data());
        for (size_t k = 0; k < size_t(frames) * 2; ++k)
            v.mix[k] += v.client[k];
    }
    if (v.processMix)
        operate(d, d.output, kAudioServerPlugInHostClientID,
                kAudioServerPlugInIOOperationProcessMix, frames, cycle, v.mix.data());
    if (v.writeMix)
        operate(d, d.output, kAudioServerPlugInHostClientID, kAudioServerPlugInIOOperationWriteMix,
                frames, cycle, v.mix.data());
}

// The cycles that the frames from `from` to `end` need, each run once.
void runCyclesUntil(VirtualIO& v, int64_t from, int64_t end, UInt32 cycleFrames) {
    if (v.nextCycle < end - kRingFrames / 2)
        v.nextCycle = (std::max<int64_t>(from, 0) / cycleFrames) * cycleFrames;
    while (v.nextCycle < end) {
        runCycle(v, v.nextCycle, cycleFrames);
        v.nextCycle += cycleFrames;
    }
}

} // namespace

void writeTone(const Tone& tone, double sampleTime, UInt32 frames,
               float* interleavedStereo) noexcept {
    std::fill_n(interleavedStereo, size_t(frames) * 2, 0.0f);
    const double hz = tone.hz;
    if (!(hz > 0.0 && std::isfinite(hz)))
        return;
    const float gain = float(std::clamp(tone.level, 0.0, 1.0));
    const double cyclesPerFrame = hz / kRate;
    const double step = 2.0 * std::numbers::pi * cyclesPerFrame;
    const double stepCos = std::cos(step), stepSin = std::sin(step);
    // The phase is taken from the sample time afresh every kAnchor frames and turned by a
    // rotation in between: exact at any time, one sin/cos pair per block.
    constexpr UInt32 kAnchor = 256;
    for (UInt32 start = 0; start < frames; start += kAnchor) {
        double cycles = cyclesPerFrame * (sampleTime + start);
        cycles -= std::floor(cycles);
        double c = std::cos(2.0 * std::numbers::pi * cycles);
        double s = std::sin(2.0 * std::numbers::pi * cycles);
        for (UInt32 i = start; i < std::min(frames, start + kAnchor); ++i) {
            interleavedStereo[2 * i] = interleavedStereo[2 * i + 1] = gain * float(s);
            const double nextC = c * stepCos - s * stepSin;
            s = s * stepCos + c * stepSin;
            c = nextC;
        }
    }
}

void addTones(std::span<const Tone> tones, double sampleTime, UInt32 frames, float* scratch,
              float* interleavedStereo) noexcept {
    for (const Tone& tone : tones) {
        writeTone(tone, sampleTime, frames, scratch);
        for (size_t k = 0; k < size_t(frames) * 2; ++k)
            interleavedStereo[k] += scratch[k];
    }
}

void virtualDriverChanged(const VirtualDriver& driver) {
    VirtualIO& v = virtualIO();
    std::lock_guard lock(v.mutex); // a cycle in progress finishes first
    v.driver = driver;
    v.driver.inputChannels = std::min(driver.inputChannels, kMaxChannels);
    v.nextCycle = 0;
    v.counter = 0;
    if (driver.driver == nullptr) {
        v.clients.clear();
        return;
    }
    v.readInput = willDo(driver, kAudioServerPlugInIOOperationReadInput);
    v.processOutput = willDo(driver, kAudioServerPlugInIOOperationProcessOutput);
    v.processMix = willDo(driver, kAudioServerPlugInIOOperationProcessMix);
    v.writeMix = willDo(driver, kAudioServerPlugInIOOperationWriteMix);
    const size_t channels = v.driver.inputChannels;
    v.ring.assign(size_t(kRingFrames) * channels, 0.0f);
    v.stamps.assign(size_t(kRingFrames), INT64_MIN);
    v.input.assign(size_t(kMaxBufferFrameSize) * channels, 0.0f);
    v.client.assign(size_t(kMaxBufferFrameSize) * 2, 0.0f);
    v.mix.assign(size_t(kMaxBufferFrameSize) * 2, 0.0f);
}

void virtualClientsChanged(std::vector<VirtualClient> clients) {
    VirtualIO& v = virtualIO();
    std::lock_guard lock(v.mutex);
    v.clients = std::move(clients);
}

void prepareVirtualInput(int64_t position, UInt32 cycleFrames, UInt32 frames) {
    VirtualIO& v = virtualIO();
    std::lock_guard lock(v.mutex);
    if (v.driver.driver == nullptr || position == INT64_MIN || cycleFrames == 0 ||
        cycleFrames > kMaxBufferFrameSize)
        return;
    runCyclesUntil(v, position, position + frames, cycleFrames);
}

void readVirtualInput(int64_t& position, double time, UInt32 cycleFrames, UInt32 frames,
                      UInt32 channels, float* interleaved) {
    VirtualIO& v = virtualIO();
    std::fill_n(interleaved, size_t(frames) * channels, 0.0f);
    std::lock_guard lock(v.mutex);
    if (v.driver.driver == nullptr || cycleFrames == 0 || cycleFrames > kMaxBufferFrameSize)
        return;
    // The last cycle boundary the device has reached; a reader that starts, or has fallen so far
    // behind that the device has dropped what it would read, reads up to it.
    const auto now = int64_t(std::floor(time * kRate / cycleFrames + 1e-6)) * cycleFrames;
    if (position == INT64_MIN || position < now - kRingFrames / 2)
        position = std::max<int64_t>(now - frames, 0);
    const int64_t end = position + frames;
    runCyclesUntil(v, position, end, cycleFrames);
    const UInt32 copied = std::min(channels, v.driver.inputChannels);
    for (UInt32 i = 0; i < frames; ++i) {
        const int64_t at = position + i;
        const size_t slot = size_t(uint64_t(at) & uint64_t(kRingFrames - 1));
        if (v.stamps[slot] == at)
            std::copy_n(v.ring.begin() + slot * v.driver.inputChannels, copied,
                        interleaved + size_t(i) * channels);
    }
    position = end;
}

} // namespace sonarill::sim::io
