#include "forwarder/AudioForwarder.h"

#include "audio/DeviceLookup.h"
#include "log/DebugLog.h"

#include <algorithm>
#include <locale>
#include <sstream>

namespace sonarill::forwarder {

using DebugLog::log;

namespace {

const AudioComponentDescription kHALOutputDescription{
    kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};

AudioStreamBasicDescription forwardingFormat() {
    AudioStreamBasicDescription format{};
    format.mSampleRate = 48000.0;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 8;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 8;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

AudioUnit newHALOutputUnit() {
    const AudioComponent component = AudioComponentFindNext(nullptr, &kHALOutputDescription);
    if (component == nullptr)
        return nullptr;
    AudioUnit unit = nullptr;
    if (AudioComponentInstanceNew(component, &unit) != noErr)
        return nullptr;
    return unit;
}

template <typename T>
OSStatus setUnitProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                         AudioUnitElement element, const T& value) {
    return AudioUnitSetProperty(unit, id, scope, element, &value, UInt32(sizeof value));
}

const OutputRoute* routeFor(const std::vector<OutputRoute>& routes, const std::string& uid) {
    const auto found = std::find_if(routes.begin(), routes.end(),
                                    [&](const OutputRoute& r) { return r.outputUID == uid; });
    return found == routes.end() ? nullptr : &*found;
}

} // namespace

std::string quotedList(const std::vector<std::string>& items) {
    std::string text = "[";
    for (size_t i = 0; i < items.size(); ++i)
        text += (i ? ", \"" : "\"") + items[i] + "\"";
    return text + "]";
}

std::string formatShortestFloat(float value) {
    std::string text;
    for (int precision = 1; precision <= 9; ++precision) {
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out.precision(precision);
        out << value;
        text = out.str();
        std::istringstream back(text);
        back.imbue(std::locale::classic());
        float parsed = 0.0f;
        if ((back >> parsed) && parsed == value)
            break;
    }
    if (text.find_first_of(".eEni") == std::string::npos)
        text += ".0";
    return text;
}

AudioForwarder& AudioForwarder::shared() {
    static AudioForwarder* const instance = new AudioForwarder;
    return *instance;
}

AudioForwarder::~AudioForwarder() {
    stop();
}

std::vector<OutputRoute> AudioForwarder::normalize(const std::vector<OutputRoute>& routes) {
    std::vector<OutputRoute> normalized;
    std::set<std::string> taken;
    for (const OutputRoute& route : routes) {
        if (route.outputUID.empty() || !taken.insert(route.outputUID).second)
            continue;
        normalized.push_back(
            {route.outputUID, std::max<int64_t>(route.inputBus, 0), clampVolume(route.volume)});
    }
    return normalized;
}

std::vector<std::string> AudioForwarder::currentOutputUIDs() const {
    std::vector<std::string> uids;
    for (const OutputRoute& route : activeRoutes_)
        uids.push_back(route.outputUID);
    return uids;
}

std::optional<float> AudioForwarder::pipelineVolume(const std::string& outputUID) const {
    const auto found = pipelinesByOutputUID_.find(outputUID);
    if (found == pipelinesByOutputUID_.end())
        return std::nullopt;
    return found->second.buffers->outputCtx.volume.load();
}

std::optional<int64_t> AudioForwarder::pipelineBus(const std::string& outputUID) const {
    const auto found = pipelinesByOutputUID_.find(outputUID);
    if (found == pipelinesByOutputUID_.end())
        return std::nullopt;
    return found->second.route.inputBus;
}

std::optional<PipelineFigures> AudioForwarder::pipelineFigures(const std::string& outputUID) const {
    const auto found = pipelinesByOutputUID_.find(outputUID);
    if (found == pipelinesByOutputUID_.end())
        return std::nullopt;
    PipelineBuffers& buffers = *found->second.buffers;
    const OutputRenderContext& ctx = buffers.outputCtx;
    return PipelineFigures{ctx.fillFrames.load(), ctx.correctionPpm.load(), ctx.underruns.load(),
                           buffers.ringBuffer.overflows(), ctx.skips.load()};
}

// The pipelines that run are what counts, not the last list that succeeded: after a failed call
// the two differ.
bool AudioForwarder::runningPipelinesMatch(const std::vector<OutputRoute>& routes) const {
    if (!isRunning_ || routes.size() != activeRoutes_.size() ||
        pipelinesByOutputUID_.size() != routes.size())
        return false;
    for (size_t i = 0; i < routes.size(); ++i) {
        const OutputRoute& route = routes[i];
        if (route.outputUID != activeRoutes_[i].outputUID ||
            route.inputBus != activeRoutes_[i].inputBus)
            return false;
        const auto found = pipelinesByOutputUID_.find(route.outputUID);
        if (found == pipelinesByOutputUID_.end() || found->second.route.inputBus != route.inputBus)
            return false;
    }
    return true;
}

bool AudioForwarder::setOutputRoutes(const std::vector<OutputRoute>& routes) {
    const std::vector<OutputRoute> wanted = normalize(routes);
    log("setOutputRoutes: requested " + std::to_string(wanted.size()) + " route(s)");
    if (wanted.empty()) {
        stop();
        return true;
    }
    for (const OutputRoute& route : wanted)
        log("  route output=" + route.outputUID + " bus=" + std::to_string(route.inputBus) +
            " volume=" + formatShortestFloat(route.volume));

    if (runningPipelinesMatch(wanted)) {
        applyRouteVolumes(wanted);
        activeRoutes_ = wanted;
        return true;
    }

    // Every running pipeline without a route of the same UID and bus goes; it stops only after
    // its replacement started.
    std::vector<Pipeline> toStop;
    for (auto it = pipelinesByOutputUID_.begin(); it != pipelinesByOutputUID_.end();) {
        const OutputRoute* route = routeFor(wanted, it->first);
        if (route != nullptr && route->inputBus == it->second.route.inputBus) {
            ++it;
            continue;
        }
        toStop.push_back(std::move(it->second));
        it = pipelinesByOutputUID_.erase(it);
    }

    std::set<std::string> started;
    for (const OutputRoute& route : wanted) {
        if (pipelinesByOutputUID_.count(route.outputUID))
            continue;
        std::optional<Pipeline> pipeline = startPipeline(route);
        if (!pipeline) {
            log("setOutputRoutes: ERROR failed to start route output=" + route.outputUID +
                " bus=" + std::to_string(route.inputBus));
            // The devices this call started keep their aligned sizes; every other gets its own.
            stopPipelines(std::move(toStop), started);
            restoreDevicesWithoutPipeline();
            return false;
        }
        started.insert(route.outputUID);
        storePipeline(std::move(*pipeline));
    }
    stopPipelines(std::move(toStop), started);
    restoreDevicesWithoutPipeline();

    applyRouteVolumes(wanted);
    activeRoutes_ = wanted;
    isRunning_ = !pipelinesByOutputUID_.empty();
    log("setOutputRoutes: running with outputs " + quotedList(currentOutputUIDs()));
    return true;
}

bool AudioForwarder::restartPipelines(const std::set<std::string>& outputUIDs) {
    std::vector<Pipeline> old;
    for (const std::string& uid : outputUIDs) {
        const auto found = pipelinesByOutputUID_.find(uid);
        if (found == pipelinesByOutputUID_.end())
            continue;
        old.push_back(std::move(found->second));
        pipelinesByOutputUID_.erase(found);
    }
    if (old.empty())
        return true;
    // The recorded sizes stay: the new pipelines align the devices again.
    stopPipelines(std::move(old), outputUIDs);
    const std::vector<OutputRoute> routes = activeRoutes_;
    return setOutputRoutes(routes);
}

void AudioForwarder::applyRouteVolumes(const std::vector<OutputRoute>& routes) {
    for (const OutputRoute& route : routes) {
        const auto found = pipelinesByOutputUID_.find(route.outputUID);
        if (found != pipelinesByOutputUID_.end())
            found->second.buffers->outputCtx.volume.store(clampVolume(route.volume),
                                                          std::memory_order_relaxed);
    }
}

// A pipeline is never released while its units run: one already stored under the UID is
// stopped before its entry is replaced.
void AudioForwarder::storePipeline(Pipeline pipeline) {
    const std::string uid = pipeline.route.outputUID;
    const auto found = pipelinesByOutputUID_.find(uid);
    if (found != pipelinesByOutputUID_.end()) {
        std::vector<Pipeline> old;
        old.push_back(std::move(found->second));
        pipelinesByOutputUID_.erase(found);
        stopPipelines(std::move(old), {uid});
    }
    pipelinesByOutputUID_.emplace(uid, std::move(pipeline));
}

void AudioForwarder::stopPipelines(std::vector<Pipeline> pipelines,
                                   const std::set<std::string>& keep) {
    std::set<std::string> restore;
    for (const Pipeline& pipeline : pipelines) {
        AudioOutputUnitStop(pipeline.outputAU);
        AudioOutputUnitStop(pipeline.inputAU);
        AudioUnitUninitialize(pipeline.outputAU);
        AudioUnitUninitialize(pipeline.inputAU);
        AudioComponentInstanceDispose(pipeline.outputAU);
        AudioComponentInstanceDispose(pipeline.inputAU);
        if (!keep.count(pipeline.route.outputUID))
            restore.insert(pipeline.route.outputUID);
    }
    for (const std::string& uid : restore)
        restoreOutputBufferFrameSize(uid);
    // The records, their rings and contexts go only now, with both units disposed of.
}

void AudioForwarder::restoreDevicesWithoutPipeline() {
    std::vector<std::string> orphans;
    for (const auto& [uid, size] : originalOutputBufferFrameSizesByUID_) {
        if (!pipelinesByOutputUID_.count(uid))
            orphans.push_back(uid);
    }
    for (const std::string& uid : orphans)
        restoreOutputBufferFrameSize(uid);
}

void AudioForwarder::stop() {
    if (!isRunning_ && pipelinesByOutputUID_.empty()) {
        restoreDevicesWithoutPipeline();
        return;
    }
    std::vector<Pipeline> all;
    for (auto& [uid, pipeline] : pipelinesByOutputUID_)
        all.push_back(std::move(pipeline));
    pipelinesByOutputUID_.clear();
    stopPipelines(std::move(all), {});
    restoreDevicesWithoutPipeline();
    activeRoutes_.clear();
    isRunning_ = false;
    log("stop: all forwarding pipelines stopped");
}

std::optional<Pipeline> AudioForwarder::startPipeline(const OutputRoute& route) {
    const std::string& outputUID = route.outputUID;
    log("startPipeline: output=" + outputUID + " bus=" + std::to_string(route.inputBus) +
        " volume=" + formatShortestFloat(route.volume));
    const std::optional<AudioObjectID> virtualID = audio::findDeviceByUID(virtualDeviceUID_);
    if (!virtualID) {
        log("startPipeline: ERROR Sonarill virtual device not found");
        return std::nullopt;
    }
    const std::optional<AudioObjectID> outputID = audio::findDeviceByUID(outputUID);
    if (!outputID) {
        log("startPipeline: ERROR output device not found uid=" + outputUID);
        return std::nullopt;
    }
    const std::string outputName = audio::deviceName(*outputID).value_or(outputUID);

    AudioUnit inputAU = newHALOutputUnit();
    if (inputAU == nullptr) {
        log("startPipeline: ERROR failed to create input audio unit");
        return std::nullopt;
    }
    const auto failInput = [&](const std::string& what, OSStatus status) {
        log("startPipeline: ERROR " + what + ": " + std::to_string(status));
        AudioComponentInstanceDispose(inputAU);
        return std::nullopt;
    };
    const UInt32 off = 0, on = 1;
    OSStatus status =
        setUnitProperty(inputAU, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, off);
    if (status != noErr)
        return failInput("disable output IO on input AU", status);
    status =
        setUnitProperty(inputAU, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, on);
    if (status != noErr)
        return failInput("enable input IO on input AU", status);
    status = setUnitProperty(inputAU, kAudioOutputUnitProperty_CurrentDevice,
                             kAudioUnitScope_Global, 0, *virtualID);
    if (status != noErr)
        return failInput("set input device to Sonarill", status);

    const int64_t bus = std::max<int64_t>(route.inputBus, 0);
    const std::string busText = std::to_string(bus);
    const SInt32 channelMap[2] = {SInt32(2 * bus), SInt32(2 * bus + 1)};
    status = setUnitProperty(inputAU, kAudioOutputUnitProperty_ChannelMap, kAudioUnitScope_Output,
                             1, channelMap);
    if (status != noErr && bus > 0) {
        // Without its map the unit reads channels 0 and 1: bus 0's, another device's sound.
        return failInput("channel map failed for bus " + busText, status);
    } else if (status != noErr) {
        log("startPipeline: WARNING channel map failed for bus " + busText + ": " +
            std::to_string(status));
    } else {
        log("startPipeline: channel map bus " + busText + " -> channels [" +
            std::to_string(2 * bus) + ", " + std::to_string(2 * bus + 1) + "]");
    }

    status = setUnitProperty(inputAU, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                             forwardingFormat());
    if (status != noErr)
        return failInput("set input AU output format", status);

    auto buffers = std::make_unique<PipelineBuffers>(inputAU, clampVolume(route.volume));
    if (!buffers->outputCtx.resampler->isReady())
        log("startPipeline: WARNING no resampler, the device's clock drift goes uncorrected");
    const AURenderCallbackStruct inputCallback{&inputCallbackFunction, &buffers->inputCtx};
    status = setUnitProperty(inputAU, kAudioOutputUnitProperty_SetInputCallback,
                             kAudioUnitScope_Global, 0, inputCallback);
    if (status != noErr)
        return failInput("set input callback", status);
    status = AudioUnitInitialize(inputAU);
    if (status != noErr)
        return failInput("initialize input AU", status);

    AudioUnit outputAU = newHALOutputUnit();
    if (outputAU == nullptr) {
        log("startPipeline: ERROR failed to create output audio unit");
        AudioUnitUninitialize(inputAU);
        AudioComponentInstanceDispose(inputAU);
        return std::nullopt;
    }
    (void)setUnitProperty(outputAU, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                          off);
    status = setUnitProperty(outputAU, kAudioOutputUnitProperty_CurrentDevice,
                             kAudioUnitScope_Global, 0, *outputID);
    if (status != noErr) {
        log("startPipeline: ERROR set output device to " + outputName + ": " +
            std::to_string(status) + " (" + audio::osStatusString(status) + ")");
        AudioUnitUninitialize(inputAU);
        AudioComponentInstanceDispose(inputAU);
        AudioComponentInstanceDispose(outputAU);
        return std::nullopt;
    }

    const bool aligned = alignOutputBufferFrameSize(*outputID, outputUID, outputName, *virtualID);
    status = setUnitProperty(outputAU, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                             forwardingFormat());
    if (status != noErr)
        log("startPipeline: WARNING set output AU input format: " + std::to_string(status) +
            ", using device default");

    bool outputInitialized = false;
    const auto cleanUp = [&](const std::string& what, OSStatus failed) {
        log("startPipeline: ERROR " + what + ": " + std::to_string(failed));
        AudioUnitUninitialize(inputAU);
        AudioComponentInstanceDispose(inputAU);
        if (outputInitialized)
            AudioUnitUninitialize(outputAU);
        AudioComponentInstanceDispose(outputAU);
        if (aligned)
            restoreOutputBufferFrameSize(outputUID);
        return std::nullopt;
    };
    const AURenderCallbackStruct renderCallback{&outputRenderCallback, &buffers->outputCtx};
    status = setUnitProperty(outputAU, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                             0, renderCallback);
    if (status != noErr)
        return cleanUp("set render callback", status);
    status = AudioUnitInitialize(outputAU);
    if (status != noErr)
        return cleanUp("initialize output AU", status);
    outputInitialized = true;
    status = AudioOutputUnitStart(inputAU);
    if (status != noErr)
        return cleanUp("start input AU", status);
    status = AudioOutputUnitStart(outputAU);
    if (status != noErr) {
        AudioOutputUnitStop(inputAU);
        return cleanUp("start output AU", status);
    }

    log("startPipeline: SUCCESS " + virtualDeviceUID_ + " bus " + busText + " -> " + outputName);
    return Pipeline{route, inputAU, outputAU, std::move(buffers)};
}

} // namespace sonarill::forwarder
