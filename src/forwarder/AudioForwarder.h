#pragma once

#include "audio/CoreAudioAPI.h"
#include "forwarder/Callbacks.h"
#include "forwarder/StereoRingBuffer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Makes the virtual device's input pairs audible: one pipeline per physical output device, from
// the virtual device's input side (bus k = input channels 2k, 2k+1) through a ring buffer to the
// device, at the route's volume. Main thread only; the I/O threads see only each pipeline's
// ring and contexts.
namespace sonarill::forwarder {

struct OutputRoute {
    std::string outputUID;
    int64_t inputBus = 0;
    float volume = 1.0f;
    bool operator==(const OutputRoute&) const = default;
};

// What one running pipeline's units point at, allocated once so that it never moves while they
// run, however the pipeline record itself is moved.
struct PipelineBuffers {
    PipelineBuffers(AudioUnit inputAU, float volume)
        : inputCtx(inputAU, ringBuffer), outputCtx(ringBuffer, volume, true) {}
    StereoRingBuffer ringBuffer;
    InputCallbackContext inputCtx;
    OutputRenderContext outputCtx;
};

// What a running pipeline went through since it started (see OutputRenderContext).
struct PipelineFigures {
    double fillFrames = 0.0;
    double correctionPpm = 0.0;
    uint64_t underruns = 0;
    uint64_t overflows = 0;
    uint64_t skips = 0;
};

struct Pipeline {
    OutputRoute route;
    AudioUnit inputAU = nullptr;
    AudioUnit outputAU = nullptr;
    std::unique_ptr<PipelineBuffers> buffers;
};

class AudioForwarder {
public:
    // The application's one forwarder, never destroyed.
    static AudioForwarder& shared();

    AudioForwarder() = default;
    // Stops what still runs: the units must never outlive what they point at.
    ~AudioForwarder();
    AudioForwarder(const AudioForwarder&) = delete;
    AudioForwarder& operator=(const AudioForwarder&) = delete;

    // True when the running pipelines now match the normalized list; false when a pipeline
    // failed to start (the routes after it are not tried).
    bool setOutputRoutes(const std::vector<OutputRoute>& routes);
    void stop();
    // Stops the running pipelines of these devices and starts them again on the current routes:
    // for devices that came back under a new object ID, whose old units play to nothing. False
    // when a pipeline failed to start again.
    bool restartPipelines(const std::set<std::string>& outputUIDs);
    std::vector<std::string> currentOutputUIDs() const;

    bool isRunning() const { return isRunning_; }
    // The gain a running pipeline plays at; nothing when the device has no pipeline.
    std::optional<float> pipelineVolume(const std::string& outputUID) const;
    std::optional<int64_t> pipelineBus(const std::string& outputUID) const;
    std::optional<PipelineFigures> pipelineFigures(const std::string& outputUID) const;
    const std::map<std::string, uint32_t>& originalOutputBufferFrameSizes() const {
        return originalOutputBufferFrameSizesByUID_;
    }

    // Called, on the main thread, each time a device's buffer frame size is recorded to be given
    // back (the device's UID and the size it had) and when that record goes (UID and nothing),
    // given back or not: a helper that outlives the application can then give the sizes back
    // itself. Empty: nobody is told.
    using FrameSizeRecordObserver =
        std::function<void(const std::string& outputUID, std::optional<uint32_t> originalSize)>;
    void setFrameSizeRecordObserver(FrameSizeRecordObserver observer) {
        frameSizeRecordObserver_ = std::move(observer);
    }

    // Empty UIDs and repeated UIDs dropped (the first wins), buses at least 0, volumes 0 to 1.
    static std::vector<OutputRoute> normalize(const std::vector<OutputRoute>& routes);

private:
    void applyRouteVolumes(const std::vector<OutputRoute>& routes);
    bool runningPipelinesMatch(const std::vector<OutputRoute>& routes) const;
    std::optional<Pipeline> startPipeline(const OutputRoute& route);
    void storePipeline(Pipeline pipeline);
    void stopPipelines(std::vector<Pipeline> pipelines, const std::set<std::string>& keep);
    void restoreDevicesWithoutPipeline();

    bool alignOutputBufferFrameSize(AudioObjectID outputID, const std::string& outputUID,
                                    const std::string& outputName, AudioObjectID virtualID);
    void restoreOutputBufferFrameSize(const std::string& outputUID);

    std::map<std::string, Pipeline> pipelinesByOutputUID_;
    std::vector<OutputRoute> activeRoutes_;
    std::map<std::string, uint32_t> originalOutputBufferFrameSizesByUID_;
    FrameSizeRecordObserver frameSizeRecordObserver_;
    bool isRunning_ = false;
    std::string virtualDeviceUID_ = "Sonarill_OutputDevice";
};

// The shortest decimal text that reads back as the same float, with ".0" on whole numbers
// ("1.0", "0.75"), whatever the process locale.
std::string formatShortestFloat(float value);

// ["a", "b"]: the bracketed list of quoted items of the log lines.
std::string quotedList(const std::vector<std::string>& items);

} // namespace sonarill::forwarder
