// The simulated HAL output unit (AUHAL) and the clock that drives it.
//
// A unit is an output unit (element 0 plays to its device; enabled by default) or, with input
// enabled on element 1, an input unit that reads its device's input side. Started, an input unit
// runs one I/O period per device buffer: it first gets the device's input for the period (on the
// virtual device: what its driver's IO cycles give, VirtualIO.cpp), then calls its input
// callback, inside which AudioUnitRender hands the samples out through the channel map.
//
// A physical device plays in cycles of its own, as on a Mac, while anything plays to it: each
// cycle asks every output unit started on the device for the period's samples, in the order the
// units were created, adds the applications that play straight to the device (the default output
// while that is not the virtual device), and the device plays (records) the sum. Its cycles start
// with the first output unit or the applications and end when neither is left.
//
// An output unit on the virtual device runs periods of its own, which nobody hears.
//
// Clocks. Manual: periods run only inside runPeriodsUntil, on the calling thread, in time order;
// periods due at the same instant run in the order the units were created (a device's cycles
// rank as the output unit that started them). Real time: one thread per running input unit and
// per playing physical device, at the device's buffer frame size and its clock rate (48 kHz off
// by the device's ppm).

#include "sim/Io.h"
#include "sim/Recording.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <pthread.h>
#include <sched.h>

// The handle type Apple declares for AudioComponentInstance, defined here as the unit itself.
struct ComponentInstanceRecord {
    uint64_t sequence = 0; // creation order: the order of a manual clock's simultaneous periods
};

namespace sonarill::sim::io {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kNominalRate = 48000.0;
constexpr UInt32 kMaxMappedChannels = 64;
constexpr UInt32 kDefaultMaxFrames = 4096;
// Output units one device cycle calls; any beyond play nothing.
constexpr UInt32 kMaxCycleOutputs = 16;

// The single component this audio system has: Apple's HAL output unit.
struct OpaqueAudioComponentRecord {};
OpaqueAudioComponentRecord halOutputComponent;

AudioStreamBasicDescription forwardingFormat() {
    AudioStreamBasicDescription format{};
    format.mSampleRate = kNominalRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

bool sameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b) {
    return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID &&
           a.mFormatFlags == b.mFormatFlags && a.mBytesPerPacket == b.mBytesPerPacket &&
           a.mFramesPerPacket == b.mFramesPerPacket && a.mBytesPerFrame == b.mBytesPerFrame &&
           a.mChannelsPerFrame == b.mChannelsPerFrame && a.mBitsPerChannel == b.mBitsPerChannel;
}

// A device's own layout: one buffer of 32-bit floats per channel.
AudioStreamBasicDescription deviceLayout(UInt32 channels) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = kNominalRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = 4;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

// The applications playing straight to a physical device, published whole and never changed, so
// that a device's cycle mixes them in without the lock.
struct AppsOutput {
    AudioObjectID device = kAudioObjectUnknown;
    std::vector<Tone> tones;
};

// Everything one period of a unit works with, fixed when the period begins. Owned by the thread
// that runs the period; AudioUnitRender reads it through tCurrentPeriod without any lock.
struct Period {
    struct Unit* unit = nullptr;
    UInt32 frames = 0;
    double sampleTime = 0.0;
    double time = 0.0;        // timeline seconds when it runs
    double hostSeconds = 0.0; // its time stamp's host time, in timeline seconds
    UInt32 deviceChannels = 0;
    UInt32 deviceFrames = 0; // the device's buffer frame size
    bool onVirtualDevice = false;
    UInt32 mapCount = 0;
    SInt32 map[kMaxMappedChannels] = {};
    std::optional<OSStatus> renderFault;
    std::chrono::milliseconds renderBlock{0};
    // An output period: the output units it asks for samples, each with its callback and layout.
    struct Output {
        struct Unit* unit = nullptr;
        AURenderCallbackStruct callback{};
        AudioStreamBasicDescription layout{};
    };
    UInt32 outputCount = 0;
    Output outputs[kMaxCycleOutputs] = {};
    const AppsOutput* apps = nullptr; // a device cycle's: the applications it adds
};

thread_local const Period* tCurrentPeriod = nullptr;

struct Unit : ComponentInstanceRecord {
    // Configuration, under IoState::mutex.
    bool outputEnabled = true;
    bool inputEnabled = false;
    AudioObjectID device = kAudioObjectUnknown;
    std::vector<SInt32> channelMap; // element 1's: device input channel per client channel
    std::optional<AudioStreamBasicDescription> clientOutputFormat; // input scope, element 0
    std::optional<AudioStreamBasicDescription> clientInputFormat;  // output scope, element 1
    AURenderCallbackStruct inputCallback{};
    AURenderCallbackStruct renderCallback{};
    UInt32 maxFrames = kDefaultMaxFrames;
    bool initialized = false;
    bool running = false;
    bool deviceGone = false; // its device went away: no more callbacks
    // A physical device's own cycles: no unit of anyone's, whose periods play the device.
    bool isDeviceCycle = false;

    // I/O state, under IoState::mutex except where noted.
    double nextPeriod = 0.0; // timeline seconds: when the period under way ends
    UInt32 nextFrames = 0;   // its length, fixed when it began, as a device's I/O cycle is
    double sampleTime = 0.0;
    int64_t virtualPosition = INT64_MIN; // where an input unit reads the virtual device's input
    bool inCallback = false;
    std::thread::id callbackThread;
    std::thread ioThread;         // real-time clock
    std::condition_variable wake; // its thread's alone: a period of another unit leaves it asleep
    uint64_t runGeneration = 0;
    const AppsOutput* appsInUse = nullptr; // what a device cycle's period under way adds

    // Buffers made at initialization, used only by the thread running a period.
    std::vector<float> deviceInput;  // maxFrames x the device's input channels, interleaved
    std::vector<float> clientBuffer; // the client's output, maxFrames x its channels
    std::vector<float> played;       // maxFrames x 2: what the device plays, interleaved stereo
    Period period;
};

struct IoState {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t generation = 0; // bumped by reset and fault changes: releases blocked calls
    TimelineClock clock = TimelineClock::manual;
    SteadyClock::time_point start = SteadyClock::now();
    double manualNow = 0.0;
    uint64_t nextSequence = 1;
    std::unordered_map<const ComponentInstanceRecord*, std::shared_ptr<Unit>> units;
    std::unordered_map<AudioObjectID, IoDevice> devices;
    std::vector<Fault> faults;
    std::string recordDir;
    std::map<std::string, std::unique_ptr<DeviceRecorder>, std::less<>> recorders;
    // Each physical device's cycles, from the first time something plays to it (also in `units`).
    std::unordered_map<AudioObjectID, std::shared_ptr<Unit>> cycles;
    // The applications playing straight to a device, as last published; those published before
    // wait in `retiredApps` until no cycle adds them any more.
    std::unique_ptr<const AppsOutput> apps;
    std::vector<std::unique_ptr<const AppsOutput>> retiredApps;
    // Threads of units stopped from their own callback or cycles that ended without waiting:
    // each ends by itself and is joined at the next reset, or as the process exits.
    std::vector<std::thread> endedThreads;

    IoState() = default;
    ~IoState();
    IoState(const IoState&) = delete;
    IoState& operator=(const IoState&) = delete;
};

// Joins threads that may be about to take the lock: called without it.
void joinAll(std::vector<std::thread>& threads) {
    for (std::thread& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
    threads.clear();
}

// Stops every unit's thread and joins them all, unless called from one of them.
void stopAllThreads(IoState& s) {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [handle, unit] : s.units) {
            unit->running = false;
            ++unit->runGeneration;
            unit->wake.notify_all();
            if (unit->ioThread.joinable())
                threads.push_back(std::move(unit->ioThread));
        }
        std::move(s.endedThreads.begin(), s.endedThreads.end(), std::back_inserter(threads));
        s.endedThreads.clear();
    }
    joinAll(threads);
}

// As the process exits, no unit's thread may outlive the state it runs on: the devices the
// applications play to run on until then.
IoState::~IoState() {
    stopAllThreads(*this);
}

IoState& ioState() {
    static IoState instance;
    return instance;
}

using Lock = std::unique_lock<std::mutex>;

double nowLocked(const IoState& s) {
    if (s.clock == TimelineClock::manual)
        return s.manualNow;
    return std::chrono::duration<double>(SteadyClock::now() - s.start).count();
}

double rateOf(const IoDevice& device) {
    return kNominalRate * (1.0 + device.ppm * 1e-6);
}

const IoDevice* deviceOf(const IoState& s, const Unit& unit) {
    const auto found = s.devices.find(unit.device);
    return found == s.devices.end() ? nullptr : &found->second;
}

std::shared_ptr<Unit> unitOf(const IoState& s, const void* handle) {
    const auto found = s.units.find(static_cast<const ComponentInstanceRecord*>(handle));
    return found == s.units.end() ? nullptr : found->second;
}

// The first fault for this call on the unit's device (and property, where one is named).
// The property a unit call is about, for the faults that name one.
struct UnitAddress {
    AudioUnitPropertyID property;
    AudioUnitScope scope;
};

std::optional<Fault> matchingFault(const IoState& s, AudioCall call, const Unit& unit,
                                   std::optional<UnitAddress> address = std::nullopt) {
    for (const Fault& fault : s.faults) {
        if (fault.call != call)
            continue;
        if (fault.property && (!address || *fault.property != address->property))
            continue;
        if (fault.scope && (!address || *fault.scope != address->scope))
            continue;
        if (fault.uid) {
            const IoDevice* device = deviceOf(s, unit);
            if (device == nullptr || device->uid != *fault.uid)
                continue;
        }
        return fault;
    }
    return std::nullopt;
}

// A fault's block, then its status. The lock is released while blocked; a reset or a change of
// faults ends the wait.
std::optional<OSStatus> applyFault(Lock& lock, AudioCall call, const Unit& unit,
                                   std::optional<UnitAddress> address = std::nullopt) {
    IoState& s = ioState();
    const std::optional<Fault> fault = matchingFault(s, call, unit, address);
    if (!fault)
        return std::nullopt;
    if (fault->block.count() > 0) {
        const uint64_t generation = s.generation;
        s.changed.wait_for(lock, fault->block, [&] { return s.generation != generation; });
    }
    return fault->status;
}

void allocateBuffers(Unit& unit, const IoDevice& device) {
    const UInt32 inputChannels = std::max<UInt32>(device.inputChannels, 1);
    const UInt32 outputChannels = std::max<UInt32>(device.outputChannels, 2);
    unit.deviceInput.assign(size_t(unit.maxFrames) * inputChannels, 0.0f);
    unit.clientBuffer.assign(size_t(unit.maxFrames) * outputChannels, 0.0f);
    unit.played.assign(size_t(unit.maxFrames) * 2, 0.0f);
}

// MARK: Device cycles

// A client's output unit on a physical device plays in that device's cycles, not periods of its
// own.
bool hasOwnPeriods(const IoState& s, const Unit& unit) {
    const IoDevice* device = deviceOf(s, unit);
    return unit.inputEnabled || unit.isDeviceCycle || (device != nullptr && device->isVirtual);
}

bool playsInCycleOf(const Unit& unit, AudioObjectID device) {
    return !unit.isDeviceCycle && !unit.inputEnabled && unit.initialized && unit.running &&
           !unit.deviceGone && unit.device == device;
}

const AppsOutput* appsOn(const IoState& s, AudioObjectID device) {
    return s.apps != nullptr && s.apps->device == device ? s.apps.get() : nullptr;
}

bool hasAnythingToPlay(const IoState& s, const Unit& cycle) {
    return appsOn(s, cycle.device) != nullptr ||
           std::any_of(s.units.begin(), s.units.end(), [&](const auto& entry) {
               return playsInCycleOf(*entry.second, cycle.device);
           });
}

// A cycle's length: the device's buffer frame size, or less when an output unit takes fewer
// frames at a time.
UInt32 cycleFrames(const IoState& s, const Unit& cycle, const IoDevice& device) {
    UInt32 frames = std::min(device.bufferFrameSize, cycle.maxFrames);
    for (const auto& [handle, unit] : s.units) {
        if (playsInCycleOf(*unit, cycle.device))
            frames = std::min(frames, unit->maxFrames);
    }
    return frames;
}

// Ends a device's cycles without waiting: the HAL lock may be held. Its real-time thread ends by
// itself at its next wake-up.
void endCycle(IoState& s, Unit& cycle) {
    cycle.running = false;
    ++cycle.runGeneration;
    cycle.wake.notify_all();
    if (cycle.ioThread.joinable())
        s.endedThreads.push_back(std::move(cycle.ioThread));
}

// The published applications no cycle adds any more.
void freeRetiredApps(IoState& s) {
    std::erase_if(s.retiredApps, [&](const std::unique_ptr<const AppsOutput>& apps) {
        return std::none_of(s.cycles.begin(), s.cycles.end(), [&](const auto& entry) {
            return entry.second->appsInUse == apps.get();
        });
    });
}

// Waits until no callback of the unit runs, unless the caller is that callback.
void waitForCallback(Lock& lock, Unit& unit) {
    if (unit.callbackThread == std::this_thread::get_id())
        return;
    ioState().changed.wait(lock, [&] { return !unit.inCallback; });
}

void stopLocked(Lock& lock, const std::shared_ptr<Unit>& unit) {
    if (!unit->running)
        return;
    unit->running = false;
    ++unit->runGeneration;
    unit->wake.notify_all();
    ioState().changed.notify_all();
    // Like a Mac: stop returns only after a callback already running has finished.
    waitForCallback(lock, *unit);
    if (unit->ioThread.joinable()) {
        if (unit->ioThread.get_id() == std::this_thread::get_id()) {
            // Stopped from its own callback: the thread ends by itself.
            ioState().endedThreads.push_back(std::move(unit->ioThread));
        } else {
            std::thread thread = std::move(unit->ioThread);
            lock.unlock();
            thread.join();
            lock.lock();
        }
    }
    // The device stops with the last output unit playing to it, as its IO stops on a Mac.
    IoState& s = ioState();
    if (unit->isDeviceCycle || unit->inputEnabled)
        return;
    if (const auto found = s.cycles.find(unit->device); found != s.cycles.end()) {
        const std::shared_ptr<Unit> cycle = found->second;
        if (!hasAnythingToPlay(s, *cycle))
            stopLocked(lock, cycle);
    }
}

// MARK: Periods

// The unit's device input for this period: the virtual device's IO cycles give it; elsewhere
// it is silence.
void fillDeviceInput(Unit& unit, const Period& period) {
    float* input = unit.deviceInput.data();
    const size_t samples = size_t(period.frames) * period.deviceChannels;
    if (period.onVirtualDevice)
        readVirtualInput(unit.virtualPosition, period.time, period.deviceFrames, period.frames,
                         period.deviceChannels, input);
    else
        std::fill(input, input + samples, 0.0f);
}

// The client's output of this period, as interleaved stereo, in unit.played.
void collectPlayed(Unit& unit, bool planar, UInt32 channels, UInt32 frames) {
    float* out = unit.played.data();
    const float* in = unit.clientBuffer.data();
    for (UInt32 frame = 0; frame < frames; ++frame) {
        for (UInt32 c = 0; c < 2; ++c) {
            const UInt32 source = std::min(c, channels - 1);
            out[2 * frame + c] = planar ? in[size_t(source) * frames + frame]
                                        : in[size_t(frame) * channels + source];
        }
    }
}

// An output unit's samples for a period, as interleaved stereo, in its `played`.
void renderOutput(const Period::Output& output, const AudioTimeStamp& timeStamp,
                  UInt32 frames) noexcept {
    Unit& unit = *output.unit;
    // A list of up to 8 planar buffers on the stack, laid out as Apple's variable-length list is
    // (more channels than that get none). Its buffers are reached through a pointer into the
    // storage: indexing the declared one-element array past its end would not be C++.
    constexpr UInt32 kMaxBuffers = 8;
    alignas(AudioBufferList)
        std::byte storage[offsetof(AudioBufferList, mBuffers) + kMaxBuffers * sizeof(AudioBuffer)] =
            {};
    auto* list = reinterpret_cast<AudioBufferList*>(storage);
    auto* buffers = reinterpret_cast<AudioBuffer*>(storage + offsetof(AudioBufferList, mBuffers));
    const AudioStreamBasicDescription& layout = output.layout;
    const bool planar = (layout.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const UInt32 channels = std::min(layout.mChannelsPerFrame, kMaxBuffers);
    const UInt32 count = planar ? channels : 1;
    list->mNumberBuffers = count;
    for (UInt32 i = 0; i < count; ++i) {
        AudioBuffer& buffer = buffers[i];
        buffer.mNumberChannels = planar ? 1 : layout.mChannelsPerFrame;
        buffer.mDataByteSize = frames * 4 * buffer.mNumberChannels;
        buffer.mData = unit.clientBuffer.data() + size_t(i) * frames;
    }
    std::fill_n(unit.clientBuffer.data(), size_t(frames) * channels, 0.0f);
    AudioUnitRenderActionFlags flags = 0;
    OSStatus status = noErr;
    if (output.callback.inputProc != nullptr)
        status = output.callback.inputProc(output.callback.inputProcRefCon, &flags, &timeStamp, 0,
                                           frames, list);
    if (status != noErr)
        std::fill_n(unit.clientBuffer.data(), size_t(frames) * channels, 0.0f);
    collectPlayed(unit, planar, channels, frames);
}

// An output unit as a period asks it for samples: its callback, and the layout it gave or, by
// default, its device's.
Period::Output outputOf(const IoState& s, Unit& unit) {
    const IoDevice* device = deviceOf(s, unit);
    return {&unit, unit.renderCallback,
            unit.clientOutputFormat.value_or(
                deviceLayout(std::max<UInt32>(device ? device->outputChannels : 2, 1)))};
}

// What a device plays in one of its cycles: its output units' samples and the applications'
// tones, summed frame by frame, in the cycle's `played`, which its recorder takes.
void playCycle(Unit& cycle, const Period& period, DeviceRecorder* recorder) noexcept {
    float* mix = cycle.played.data();
    const size_t samples = size_t(period.frames) * 2;
    std::fill_n(mix, samples, 0.0f);
    for (UInt32 i = 0; i < period.outputCount; ++i) {
        const float* played = period.outputs[i].unit->played.data();
        for (size_t k = 0; k < samples; ++k)
            mix[k] += played[k];
    }
    if (period.apps != nullptr)
        addTones(period.apps->tones, period.sampleTime, period.frames, cycle.clientBuffer.data(),
                 mix);
    if (recorder != nullptr)
        recorder->played(mix, period.frames);
}

// The output units a device cycle asks this period, in creation order; each is marked as in its
// callback, so that stopping or disposing of it waits for the cycle.
void gatherCycleOutputs(IoState& s, const Unit& cycle, Period& period) {
    period.outputCount = 0;
    for (const auto& [handle, unit] : s.units) {
        if (!playsInCycleOf(*unit, cycle.device) || unit->maxFrames < period.frames)
            continue;
        // Kept sorted by creation; a unit past the last slot plays nothing.
        UInt32 at = period.outputCount;
        while (at > 0 && period.outputs[at - 1].unit->sequence > unit->sequence)
            --at;
        if (at == kMaxCycleOutputs)
            continue;
        const UInt32 last = std::min(period.outputCount, kMaxCycleOutputs - 1);
        for (UInt32 i = last; i > at; --i)
            period.outputs[i] = period.outputs[i - 1];
        period.outputs[at] = outputOf(s, *unit);
        period.outputCount = std::min(period.outputCount + 1, kMaxCycleOutputs);
    }
    for (UInt32 i = 0; i < period.outputCount; ++i) {
        period.outputs[i].unit->inCallback = true;
        period.outputs[i].unit->callbackThread = std::this_thread::get_id();
    }
}

// One I/O period of a unit, on the calling thread. Called without the lock.
void runPeriod(const std::shared_ptr<Unit>& unit, uint64_t runGeneration) {
    IoState& s = ioState();
    Lock lock(s.mutex);
    const IoDevice* device = deviceOf(s, *unit);
    if (!unit->running || unit->runGeneration != runGeneration || unit->deviceGone || !device)
        return;
    if (unit->isDeviceCycle && !hasAnythingToPlay(s, *unit)) {
        endCycle(s, *unit); // nothing plays to the device any more
        return;
    }
    Period& period = unit->period;
    period.unit = unit.get();
    // A change of the device's buffer size applies from the next period on.
    period.frames = unit->nextFrames;
    period.sampleTime = unit->sampleTime;
    period.time = nowLocked(s);
    // An input period's time is its first frame's, captured a period before its callback; an
    // output period's is when its first frame plays: when its callback asks for it.
    period.hostSeconds =
        unit->nextPeriod - (unit->inputEnabled ? period.frames / rateOf(*device) : 0.0);
    period.deviceChannels = device->inputChannels;
    period.deviceFrames = device->bufferFrameSize;
    period.onVirtualDevice = device->isVirtual;
    period.mapCount =
        static_cast<UInt32>(std::min<size_t>(unit->channelMap.size(), kMaxMappedChannels));
    std::copy_n(unit->channelMap.begin(), period.mapCount, period.map);
    const std::optional<Fault> renderFault = matchingFault(s, AudioCall::audioUnitRender, *unit);
    period.renderFault = renderFault ? renderFault->status : std::nullopt;
    period.renderBlock = renderFault ? renderFault->block : std::chrono::milliseconds(0);
    const bool isInput = unit->inputEnabled;
    const AURenderCallbackStruct callback = unit->inputCallback;
    DeviceRecorder* recorder = nullptr;
    period.outputCount = 0;
    period.apps = nullptr;
    if (unit->isDeviceCycle) {
        gatherCycleOutputs(s, *unit, period);
        period.apps = unit->appsInUse = appsOn(s, unit->device);
        const auto found = s.recorders.find(device->uid);
        recorder = found == s.recorders.end() ? nullptr : found->second.get();
    } else if (!isInput) {
        // An output unit on the virtual device: what it plays goes nowhere anyone hears.
        period.outputs[0] = outputOf(s, *unit);
        period.outputCount = 1;
    }
    unit->inCallback = true;
    unit->callbackThread = std::this_thread::get_id();
    lock.unlock();

    AudioTimeStamp timeStamp{};
    timeStamp.mSampleTime = period.sampleTime;
    // The host clock counts nanoseconds of the timeline.
    timeStamp.mHostTime = UInt64(std::max(period.hostSeconds, 0.0) * 1e9) + 1;
    timeStamp.mRateScalar = 1.0;
    timeStamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                       kAudioTimeStampRateScalarValid;
    if (isInput) {
        fillDeviceInput(*unit, period);
        if (callback.inputProc != nullptr) {
            AudioUnitRenderActionFlags flags = 0;
            tCurrentPeriod = &period;
            callback.inputProc(callback.inputProcRefCon, &flags, &timeStamp, 1, period.frames,
                               nullptr);
            tCurrentPeriod = nullptr;
        }
        // The device's cycles run on between two periods, not at the start of the next one,
        // where they would make the callback late.
        if (period.onVirtualDevice)
            prepareVirtualInput(unit->virtualPosition, period.deviceFrames, period.frames);
    } else {
        for (UInt32 i = 0; i < period.outputCount; ++i)
            renderOutput(period.outputs[i], timeStamp, period.frames);
        if (unit->isDeviceCycle)
            playCycle(*unit, period, recorder);
    }

    lock.lock();
    for (UInt32 i = 0; i < period.outputCount; ++i) {
        Unit& output = *period.outputs[i].unit;
        output.inCallback = false;
        output.callbackThread = {};
    }
    unit->appsInUse = nullptr;
    unit->inCallback = false;
    unit->callbackThread = {};
    unit->sampleTime += period.frames;
    if (const IoDevice* now = deviceOf(s, *unit)) {
        unit->nextFrames = unit->isDeviceCycle ? cycleFrames(s, *unit, *now)
                                               : std::min(now->bufferFrameSize, unit->maxFrames);
        unit->nextPeriod += unit->nextFrames / rateOf(*now);
    }
    s.changed.notify_all();
}

// As a Mac's I/O threads run: at real-time priority where the system grants it (round-robin, so
// the units' threads share a processor among themselves), at ordinary priority otherwise. Not
// under ThreadSanitizer: its runtime spins on locks that ordinary threads hold, and a real-time
// thread spinning there starves them until the kernel throttles it, a second later.
void raisePriority() {
#if !defined(__SANITIZE_THREAD__)
    sched_param param{};
    param.sched_priority =
        std::min(sched_get_priority_min(SCHED_RR) + 40, sched_get_priority_max(SCHED_RR));
    (void)pthread_setschedparam(pthread_self(), SCHED_RR, &param);
#endif
}

void realTimeLoop(std::shared_ptr<Unit> unit, uint64_t runGeneration) {
    IoState& s = ioState();
    raisePriority();
    auto deadline = SteadyClock::now();
    while (true) {
        {
            Lock lock(s.mutex);
            const IoDevice* device = deviceOf(s, *unit);
            if (!unit->running || unit->runGeneration != runGeneration)
                return;
            // Without its device the unit only waits for its owner to stop it.
            const double seconds = device ? unit->nextFrames / rateOf(*device) : 0.01;
            deadline += std::chrono::duration_cast<SteadyClock::duration>(
                std::chrono::duration<double>(seconds));
            // Far behind (a stalled machine): resume from now rather than burst, and the
            // periods' times with it.
            if (SteadyClock::now() - deadline > std::chrono::milliseconds(200)) {
                deadline = SteadyClock::now();
                unit->nextPeriod = nowLocked(s) + seconds;
            }
            unit->wake.wait_until(lock, deadline, [&] {
                return !unit->running || unit->runGeneration != runGeneration;
            });
            if (!unit->running || unit->runGeneration != runGeneration)
                return;
        }
        runPeriod(unit, runGeneration);
    }
}

// Starts a device's cycles unless they run: a period from now, at its rate. `sequence` orders its
// periods among other units' due at the same instant. Never waits: the HAL lock may be held.
void startCycle(IoState& s, const IoDevice& device, uint64_t sequence) {
    std::shared_ptr<Unit>& cycle = s.cycles[device.id];
    if (!cycle) {
        cycle = std::make_shared<Unit>();
        cycle->isDeviceCycle = true;
        cycle->device = device.id;
        cycle->maxFrames = kMaxBufferFrameSize;
        cycle->played.assign(size_t(cycle->maxFrames) * 2, 0.0f);
        cycle->clientBuffer.assign(size_t(cycle->maxFrames) * 2, 0.0f); // one tone at a time
        cycle->initialized = true;
        s.units.emplace(cycle.get(), cycle);
    }
    if (cycle->running)
        return;
    // A device records from the first time something plays to it: a window of seconds for each
    // of thousands of silent devices would cost gigabytes.
    if (!s.recorders.count(device.uid))
        s.recorders.emplace(device.uid, std::make_unique<DeviceRecorder>(device.uid, s.recordDir));
    cycle->sequence = sequence;
    cycle->running = true;
    const uint64_t generation = ++cycle->runGeneration;
    cycle->nextFrames = cycleFrames(s, *cycle, device);
    cycle->nextPeriod = nowLocked(s) + cycle->nextFrames / rateOf(device);
    if (cycle->ioThread.joinable())
        s.endedThreads.push_back(std::move(cycle->ioThread)); // ended by itself
    if (s.clock == TimelineClock::realTime)
        cycle->ioThread = std::thread(realTimeLoop, cycle, generation);
}

// MARK: Properties

OSStatus checkSize(UInt32 size, UInt32 wanted) {
    return size == wanted ? OSStatus(noErr) : OSStatus(kAudio_ParamError);
}

OSStatus setProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope,
                     AudioUnitElement element, const void* data, UInt32 size) {
    switch (id) {
    case kAudioOutputUnitProperty_EnableIO: {
        const bool outputSide = scope == kAudioUnitScope_Output && element == 0;
        const bool inputSide = scope == kAudioUnitScope_Input && element == 1;
        if (!outputSide && !inputSide)
            return scope == kAudioUnitScope_Global ? kAudioUnitErr_InvalidScope
                                                   : kAudioUnitErr_InvalidElement;
        if (const OSStatus status = checkSize(size, sizeof(UInt32)); status != noErr)
            return status;
        if (unit.initialized)
            return kAudioUnitErr_Initialized; // I/O is chosen before initialization
        UInt32 value = 0;
        std::memcpy(&value, data, sizeof value);
        (outputSide ? unit.outputEnabled : unit.inputEnabled) = value != 0;
        return noErr;
    }
    case kAudioOutputUnitProperty_CurrentDevice: {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        if (const OSStatus status = checkSize(size, sizeof(AudioObjectID)); status != noErr)
            return status;
        AudioObjectID device = kAudioObjectUnknown;
        std::memcpy(&device, data, sizeof device);
        const IoState& s = ioState();
        const auto found = s.devices.find(device);
        if (found == s.devices.end())
            return kAudioHardwareBadDeviceError;
        if (unit.running)
            return kAudioUnitErr_CannotDoInCurrentContext;
        unit.device = device;
        unit.deviceGone = false;
        if (unit.initialized)
            allocateBuffers(unit, found->second);
        return noErr;
    }
    case kAudioOutputUnitProperty_ChannelMap: {
        if (scope != kAudioUnitScope_Output && scope != kAudioUnitScope_Input)
            return kAudioUnitErr_InvalidScope;
        if (size == 0 || size % sizeof(SInt32) != 0 || size / sizeof(SInt32) > kMaxMappedChannels)
            return kAudio_ParamError;
        std::vector<SInt32> map(size / sizeof(SInt32));
        std::memcpy(map.data(), data, size);
        // Only the input element's map changes what a client hears; the output side plays the
        // client's channels as they are.
        if (scope == kAudioUnitScope_Output && element == 1)
            unit.channelMap = std::move(map);
        return noErr;
    }
    case kAudioUnitProperty_StreamFormat: {
        const bool clientOutput = scope == kAudioUnitScope_Input && element == 0;
        const bool clientInput = scope == kAudioUnitScope_Output && element == 1;
        if (!clientOutput && !clientInput)
            return kAudioUnitErr_PropertyNotWritable; // the device's own side
        if (const OSStatus status = checkSize(size, sizeof(AudioStreamBasicDescription));
            status != noErr)
            return status;
        if (unit.initialized)
            return kAudioUnitErr_Initialized;
        AudioStreamBasicDescription format{};
        std::memcpy(&format, data, sizeof format);
        if (!sameFormat(format, forwardingFormat()))
            return kAudioUnitErr_FormatNotSupported;
        (clientOutput ? unit.clientOutputFormat : unit.clientInputFormat) = format;
        return noErr;
    }
    case kAudioOutputUnitProperty_SetInputCallback:
    case kAudioUnitProperty_SetRenderCallback: {
        const bool input = id == kAudioOutputUnitProperty_SetInputCallback;
        if (scope != (input ? kAudioUnitScope_Global : kAudioUnitScope_Input))
            return kAudioUnitErr_InvalidScope;
        if (element != 0)
            return kAudioUnitErr_InvalidElement;
        AURenderCallbackStruct callback{};
        if (data != nullptr) { // no data removes the callback
            if (const OSStatus status = checkSize(size, sizeof callback); status != noErr)
                return status;
            std::memcpy(&callback, data, sizeof callback);
        }
        (input ? unit.inputCallback : unit.renderCallback) = callback;
        return noErr;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: {
        if (const OSStatus status = checkSize(size, sizeof(UInt32)); status != noErr)
            return status;
        if (unit.initialized)
            return kAudioUnitErr_Initialized;
        UInt32 frames = 0;
        std::memcpy(&frames, data, sizeof frames);
        if (frames == 0 || frames > 16384)
            return kAudioUnitErr_InvalidPropertyValue;
        unit.maxFrames = frames;
        return noErr;
    }
    case kAudioOutputUnitProperty_IsRunning:
    case kAudioOutputUnitProperty_HasIO:
        return kAudioUnitErr_PropertyNotWritable;
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

// The size and writability of a property, or why it has none.
OSStatus propertyInfo(const Unit& unit, AudioUnitPropertyID id, UInt32& size, bool& writable) {
    writable = true;
    switch (id) {
    case kAudioOutputUnitProperty_EnableIO:
    case kAudioUnitProperty_MaximumFramesPerSlice:
        size = sizeof(UInt32);
        return noErr;
    case kAudioOutputUnitProperty_CurrentDevice:
        size = sizeof(AudioObjectID);
        return noErr;
    case kAudioOutputUnitProperty_IsRunning:
    case kAudioOutputUnitProperty_HasIO:
        size = sizeof(UInt32);
        writable = false;
        return noErr;
    case kAudioOutputUnitProperty_ChannelMap:
        size = static_cast<UInt32>(std::max<size_t>(unit.channelMap.size(), 2) * sizeof(SInt32));
        return noErr;
    case kAudioUnitProperty_StreamFormat:
        size = sizeof(AudioStreamBasicDescription);
        return noErr;
    case kAudioOutputUnitProperty_SetInputCallback:
    case kAudioUnitProperty_SetRenderCallback:
        size = sizeof(AURenderCallbackStruct);
        return noErr;
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

template <typename T> OSStatus copyOut(const T& value, void* data, UInt32& size) {
    if (size < sizeof(T))
        return kAudio_ParamError;
    std::memcpy(data, &value, sizeof(T));
    size = sizeof(T);
    return noErr;
}

OSStatus getProperty(const Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope,
                     AudioUnitElement element, void* data, UInt32& size) {
    const IoDevice* device = deviceOf(ioState(), unit);
    switch (id) {
    case kAudioOutputUnitProperty_EnableIO:
        if (scope == kAudioUnitScope_Output && element == 0)
            return copyOut<UInt32>(unit.outputEnabled, data, size);
        if (scope == kAudioUnitScope_Input && element == 1)
            return copyOut<UInt32>(unit.inputEnabled, data, size);
        return kAudioUnitErr_InvalidElement;
    case kAudioOutputUnitProperty_HasIO:
        if (scope == kAudioUnitScope_Output && element == 0)
            return copyOut<UInt32>(device && device->outputChannels > 0, data, size);
        if (scope == kAudioUnitScope_Input && element == 1)
            return copyOut<UInt32>(device && device->inputChannels > 0, data, size);
        return kAudioUnitErr_InvalidElement;
    case kAudioOutputUnitProperty_CurrentDevice:
        return copyOut<AudioObjectID>(unit.device, data, size);
    case kAudioOutputUnitProperty_IsRunning:
        return copyOut<UInt32>(unit.running, data, size);
    case kAudioUnitProperty_MaximumFramesPerSlice:
        return copyOut<UInt32>(unit.maxFrames, data, size);
    case kAudioOutputUnitProperty_ChannelMap: {
        const size_t bytes = unit.channelMap.size() * sizeof(SInt32);
        if (size < bytes)
            return kAudio_ParamError;
        if (bytes > 0)
            std::memcpy(data, unit.channelMap.data(), bytes);
        size = static_cast<UInt32>(bytes);
        return noErr;
    }
    case kAudioUnitProperty_StreamFormat: {
        const bool clientOutput = scope == kAudioUnitScope_Input && element == 0;
        const bool clientInput = scope == kAudioUnitScope_Output && element == 1;
        const UInt32 outputs = device ? std::max<UInt32>(device->outputChannels, 1) : 2;
        const UInt32 inputs = device ? std::max<UInt32>(device->inputChannels, 1) : 2;
        if (clientOutput)
            return copyOut(unit.clientOutputFormat.value_or(deviceLayout(outputs)), data, size);
        if (clientInput)
            return copyOut(unit.clientInputFormat.value_or(deviceLayout(inputs)), data, size);
        if (scope == kAudioUnitScope_Output && element == 0)
            return copyOut(deviceLayout(outputs), data, size);
        if (scope == kAudioUnitScope_Input && element == 1)
            return copyOut(deviceLayout(inputs), data, size);
        return kAudioUnitErr_InvalidElement;
    }
    case kAudioOutputUnitProperty_SetInputCallback:
        return copyOut(unit.inputCallback, data, size);
    case kAudioUnitProperty_SetRenderCallback:
        return copyOut(unit.renderCallback, data, size);
    default:
        return kAudioUnitErr_InvalidProperty;
    }
}

// AudioUnitRender inside the unit's own input callback: the period's device input through the
// channel map, into the client's interleaved stereo buffer. No lock, no allocation.
OSStatus renderPeriod(const Period& period, const Unit& unit, UInt32 bus, UInt32 frames,
                      AudioBufferList* data) {
    if (period.renderBlock.count() > 0)
        std::this_thread::sleep_for(period.renderBlock);
    if (period.renderFault)
        return *period.renderFault;
    if (bus != 1)
        return kAudioUnitErr_InvalidElement;
    if (frames > unit.maxFrames)
        return kAudioUnitErr_TooManyFramesToProcess;
    if (data == nullptr || frames != period.frames || data->mNumberBuffers != 1)
        return kAudio_ParamError;
    AudioBuffer& buffer = data->mBuffers[0];
    const UInt32 bytes = frames * 8;
    if (buffer.mData == nullptr) {
        // No buffer of the caller's: the unit lends its own for this period.
        buffer.mData = const_cast<float*>(unit.clientBuffer.data());
    } else if (buffer.mDataByteSize < bytes) {
        return kAudio_ParamError;
    }
    buffer.mNumberChannels = 2;
    buffer.mDataByteSize = bytes;
    float* out = static_cast<float*>(buffer.mData);
    const float* in = unit.deviceInput.data();
    for (UInt32 c = 0; c < 2; ++c) {
        const SInt32 source = c < period.mapCount ? period.map[c] : SInt32(c);
        const bool silent = source < 0 || UInt32(source) >= period.deviceChannels;
        for (UInt32 frame = 0; frame < frames; ++frame)
            out[2 * frame + c] =
                silent ? 0.0f : in[size_t(frame) * period.deviceChannels + UInt32(source)];
    }
    return noErr;
}

} // namespace

// MARK: The I/O side's control

void prepare() {
    (void)ioState();
}

void stopAll() {
    stopAllThreads(ioState());
}

void reset(TimelineClock clock, const std::string& recordDir) {
    IoState& s = ioState();
    Lock lock(s.mutex);
    std::vector<std::shared_ptr<Unit>> units;
    for (auto& [handle, unit] : s.units)
        units.push_back(unit);
    for (const auto& unit : units)
        stopLocked(lock, unit);
    // Cycles that ended without waiting may still be finishing a period.
    s.changed.wait(lock, [&] {
        return std::none_of(s.cycles.begin(), s.cycles.end(),
                            [](const auto& entry) { return entry.second->inCallback; });
    });
    s.units.clear();
    s.cycles.clear();
    s.apps.reset();
    s.retiredApps.clear();
    std::vector<std::thread> ended = std::move(s.endedThreads);
    s.endedThreads.clear();
    lock.unlock();
    joinAll(ended);
    lock.lock();
    s.devices.clear();
    s.faults.clear();
    ++s.generation;
    s.clock = clock;
    s.start = SteadyClock::now();
    s.manualNow = 0.0;
    for (auto& [uid, recorder] : s.recorders)
        recorder->flush();
    s.recorders.clear();
    s.recordDir = recordDir;
    s.changed.notify_all();
}

void deviceAdded(const IoDevice& device) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    s.devices[device.id] = device;
}

void deviceRemoved(AudioObjectID id) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    s.devices.erase(id);
    // A unit whose device went away stops calling back, as on a Mac; it stays "running" until
    // its owner stops it.
    for (auto& [handle, unit] : s.units) {
        if (unit->device == id)
            unit->deviceGone = true;
    }
    // Its cycles end; they stay listed until the world is reset, so that what a period under way
    // adds is not freed under it.
    if (const auto cycle = s.cycles.find(id); cycle != s.cycles.end())
        endCycle(s, *cycle->second);
}

void bufferFrameSizeChanged(AudioObjectID id, UInt32 frames) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    if (const auto found = s.devices.find(id); found != s.devices.end())
        found->second.bufferFrameSize = frames;
}

void clockChanged(AudioObjectID id, double ppm) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    if (const auto found = s.devices.find(id); found != s.devices.end())
        found->second.ppm = ppm;
}

void appsOutputChanged(AudioObjectID device, std::vector<Tone> tones) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    if (tones.empty())
        device = kAudioObjectUnknown;
    const AppsOutput* current = s.apps.get();
    if (current != nullptr ? current->device == device && current->tones == tones
                           : device == kAudioObjectUnknown)
        return;
    if (s.apps != nullptr)
        s.retiredApps.push_back(std::move(s.apps));
    if (device != kAudioObjectUnknown)
        s.apps = std::make_unique<const AppsOutput>(AppsOutput{device, std::move(tones)});
    freeRetiredApps(s);
    const auto found = s.devices.find(device);
    if (found != s.devices.end() && !found->second.isVirtual)
        startCycle(s, found->second, s.nextSequence++);
}

void faultsChanged(const std::vector<Fault>& faults) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    s.faults = faults;
    ++s.generation;
    s.changed.notify_all();
}

double nextPeriodTime() {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    double next = std::numeric_limits<double>::infinity();
    for (const auto& [handle, unit] : s.units) {
        if (unit->running && !unit->deviceGone && s.devices.count(unit->device) &&
            hasOwnPeriods(s, *unit))
            next = std::min(next, unit->nextPeriod);
    }
    return next;
}

void runPeriodsUntil(double time) {
    IoState& s = ioState();
    while (true) {
        std::shared_ptr<Unit> due;
        uint64_t generation = 0;
        {
            std::lock_guard lock(s.mutex);
            if (s.clock != TimelineClock::manual)
                return;
            for (const auto& [handle, unit] : s.units) {
                if (!unit->running || unit->deviceGone || !s.devices.count(unit->device) ||
                    !hasOwnPeriods(s, *unit) || unit->nextPeriod > time)
                    continue;
                if (!due || unit->nextPeriod < due->nextPeriod ||
                    (unit->nextPeriod == due->nextPeriod && unit->sequence < due->sequence))
                    due = unit;
            }
            if (!due) {
                s.manualNow = std::max(s.manualNow, time);
                return;
            }
            s.manualNow = std::max(s.manualNow, due->nextPeriod);
            generation = due->runGeneration;
        }
        runPeriod(due, generation);
    }
}

} // namespace sonarill::sim::io

namespace sonarill::sim {

using io::IoState;
using io::ioState;

std::vector<float> recentlyPlayed(std::string_view uid, size_t frames) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    const auto found = s.recorders.find(uid);
    return found == s.recorders.end() ? std::vector<float>{} : found->second->recent(frames);
}

UInt64 framesPlayed(std::string_view uid) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    const auto found = s.recorders.find(uid);
    return found == s.recorders.end() ? 0 : found->second->framesPlayed();
}

bool stallDevice(std::string_view uid, double seconds) {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    bool stalled = false;
    for (auto& [handle, unit] : s.units) {
        const io::IoDevice* device = io::deviceOf(s, *unit);
        if (unit->running && device != nullptr && device->uid == uid) {
            unit->nextPeriod += seconds;
            stalled = true;
        }
    }
    return stalled && s.clock == TimelineClock::manual;
}

void flushRecordings() {
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    for (auto& [uid, recorder] : s.recorders)
        recorder->flush();
}

} // namespace sonarill::sim

// MARK: The C entry points

using namespace sonarill::sim;
using namespace sonarill::sim::io;

namespace {

// A unit call: the unit behind the handle, under the lock, after the call's faults where it can
// have any. A handle that is no unit (disposed of, or never one) is a parameter error.
template <typename Body>
OSStatus onUnit(AudioUnit handle, std::optional<AudioCall> call, Body body,
                std::optional<UnitAddress> address = std::nullopt) {
    IoState& s = ioState();
    Lock lock(s.mutex);
    const std::shared_ptr<Unit> unit = unitOf(s, handle);
    if (!unit)
        return kAudio_ParamError;
    if (call) {
        if (const auto status = applyFault(lock, *call, *unit, address))
            return *status;
    }
    return body(s, lock, unit);
}

} // namespace

extern "C" {

AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                      const AudioComponentDescription* inDesc) {
    if (inDesc == nullptr || inComponent != nullptr)
        return nullptr; // one component: nothing comes after it
    const auto matches = [](OSType wanted, OSType actual) {
        return wanted == 0 || wanted == actual;
    };
    if (!matches(inDesc->componentType, kAudioUnitType_Output) ||
        !matches(inDesc->componentSubType, kAudioUnitSubType_HALOutput) ||
        !matches(inDesc->componentManufacturer, kAudioUnitManufacturer_Apple))
        return nullptr;
    return reinterpret_cast<AudioComponent>(&halOutputComponent);
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent,
                                   AudioComponentInstance* outInstance) {
    if (outInstance == nullptr ||
        inComponent != reinterpret_cast<AudioComponent>(&halOutputComponent))
        return kAudio_ParamError;
    IoState& s = ioState();
    Lock lock(s.mutex);
    auto unit = std::make_shared<Unit>();
    unit->sequence = s.nextSequence++;
    if (const auto status = applyFault(lock, AudioCall::audioComponentInstanceNew, *unit))
        return *status;
    s.units.emplace(unit.get(), unit);
    *outInstance = unit.get();
    return noErr;
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    return onUnit(inInstance, std::nullopt,
                  [](IoState& s, Lock& lock, const std::shared_ptr<Unit>& unit) {
                      stopLocked(lock, unit);
                      unit->initialized = false;
                      s.units.erase(unit.get());
                      return OSStatus(noErr);
                  });
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
    return onUnit(
        inUnit, AudioCall::audioUnitInitialize,
        [](IoState& s, Lock&, const std::shared_ptr<Unit>& unit) {
            if (unit->initialized)
                return OSStatus(noErr);
            const IoDevice* device = deviceOf(s, *unit);
            if (device == nullptr || unit->deviceGone)
                return OSStatus(kAudioUnitErr_FailedInitialization);
            if ((unit->inputEnabled && device->inputChannels == 0) ||
                (unit->outputEnabled && !unit->inputEnabled && device->outputChannels == 0))
                return OSStatus(kAudioUnitErr_NoConnection);
            allocateBuffers(*unit, *device);
            unit->initialized = true;
            return OSStatus(noErr);
        });
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
    return onUnit(inUnit, std::nullopt,
                  [](IoState&, Lock& lock, const std::shared_ptr<Unit>& unit) {
                      stopLocked(lock, unit);
                      unit->initialized = false;
                      return OSStatus(noErr);
                  });
}

OSStatus AudioUnitGetPropertyInfo(AudioUnit inUnit, AudioUnitPropertyID inID,
                                  AudioUnitScope inScope, AudioUnitElement inElement,
                                  UInt32* outDataSize, Boolean* outWritable) {
    (void)inScope;
    (void)inElement;
    return onUnit(inUnit, std::nullopt, [&](IoState&, Lock&, const std::shared_ptr<Unit>& unit) {
        UInt32 size = 0;
        bool writable = false;
        if (const OSStatus status = propertyInfo(*unit, inID, size, writable); status != noErr)
            return status;
        if (outDataSize != nullptr)
            *outDataSize = size;
        if (outWritable != nullptr)
            *outWritable = writable;
        return OSStatus(noErr);
    });
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    if (outData == nullptr || ioDataSize == nullptr)
        return kAudio_ParamError;
    return onUnit(
        inUnit, AudioCall::audioUnitGetProperty,
        [&](IoState&, Lock&, const std::shared_ptr<Unit>& unit) {
            return getProperty(*unit, inID, inScope, inElement, outData, *ioDataSize);
        },
        UnitAddress{inID, inScope});
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    // No data removes a value, which only the callbacks allow.
    const bool removesCallback = inData == nullptr && inDataSize == 0 &&
                                 (inID == kAudioUnitProperty_SetRenderCallback ||
                                  inID == kAudioOutputUnitProperty_SetInputCallback);
    if (inData == nullptr && !removesCallback)
        return kAudio_ParamError;
    return onUnit(
        inUnit, AudioCall::audioUnitSetProperty,
        [&](IoState&, Lock&, const std::shared_ptr<Unit>& unit) {
            return setProperty(*unit, inID, inScope, inElement, inData, inDataSize);
        },
        UnitAddress{inID, inScope});
}

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList* ioData) {
    (void)ioActionFlags;
    // The real-time path: inside the unit's own input callback the period is at hand.
    const Period* period = tCurrentPeriod;
    if (period != nullptr && period->unit == inUnit && inTimeStamp != nullptr)
        return renderPeriod(*period, *period->unit, inOutputBusNumber, inNumberFrames, ioData);
    IoState& s = ioState();
    std::lock_guard lock(s.mutex);
    const std::shared_ptr<Unit> unit = unitOf(s, inUnit);
    if (!unit || inTimeStamp == nullptr)
        return kAudio_ParamError;
    if (!unit->initialized)
        return kAudioUnitErr_Uninitialized;
    if (!unit->inputEnabled)
        return kAudioUnitErr_NoConnection;
    return kAudioUnitErr_CannotDoInCurrentContext; // input exists only during its callback
}

OSStatus AudioOutputUnitStart(AudioUnit ci) {
    return onUnit(ci, AudioCall::audioOutputUnitStart,
                  [](IoState& s, Lock&, const std::shared_ptr<Unit>& unit) {
                      if (!unit->initialized)
                          return OSStatus(kAudioUnitErr_Uninitialized);
                      const IoDevice* device = deviceOf(s, *unit);
                      if (device == nullptr || unit->deviceGone)
                          return OSStatus(kAudioHardwareBadDeviceError);
                      if (unit->running)
                          return OSStatus(noErr);
                      unit->running = true;
                      unit->virtualPosition = INT64_MIN;
                      const uint64_t generation = ++unit->runGeneration;
                      if (!hasOwnPeriods(s, *unit)) {
                          startCycle(s, *device, unit->sequence); // it plays in the device's cycles
                          return OSStatus(noErr);
                      }
                      unit->nextFrames = std::min(device->bufferFrameSize, unit->maxFrames);
                      unit->nextPeriod = nowLocked(s) + unit->nextFrames / rateOf(*device);
                      if (s.clock == TimelineClock::realTime)
                          unit->ioThread = std::thread(realTimeLoop, unit, generation);
                      return OSStatus(noErr);
                  });
}

OSStatus AudioOutputUnitStop(AudioUnit ci) {
    return onUnit(ci, AudioCall::audioOutputUnitStop,
                  [](IoState&, Lock& lock, const std::shared_ptr<Unit>& unit) {
                      stopLocked(lock, unit);
                      return OSStatus(noErr);
                  });
}
}
