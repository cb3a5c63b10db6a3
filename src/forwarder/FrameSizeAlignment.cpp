// Matching a physical device's I/O period to the virtual device's while forwarding to it, and
// giving the device its own period back afterwards.

#include "audio/DeviceLookup.h"
#include "forwarder/AudioForwarder.h"
#include "log/DebugLog.h"

#include <array>

namespace sonarill::forwarder {

using DebugLog::log;

namespace {

// Periods known to be stable on physical outputs; 512 is also the recovery size.
constexpr std::array<uint32_t, 4> kStablePhysicalBufferFrameSizes = {512, 1024, 2048, 4096};
constexpr uint32_t kRecoveryBufferFrameSize = 512;

bool isStable(uint32_t frames) {
    for (uint32_t stable : kStablePhysicalBufferFrameSizes) {
        if (frames == stable)
            return true;
    }
    return false;
}

std::optional<uint32_t> readBufferFrameSize(AudioObjectID device) {
    return audio::readUInt32Property(device, kAudioDevicePropertyBufferFrameSize);
}

OSStatus writeBufferFrameSize(AudioObjectID device, uint32_t frames) {
    return audio::writeUInt32Property(device, kAudioDevicePropertyBufferFrameSize, frames);
}

std::string statusText(OSStatus status) {
    return std::to_string(status) + " (" + audio::osStatusString(status) + ")";
}

} // namespace

bool AudioForwarder::alignOutputBufferFrameSize(AudioObjectID outputID,
                                                const std::string& outputUID,
                                                const std::string& outputName,
                                                AudioObjectID virtualID) {
    const std::optional<uint32_t> virtualFrames = readBufferFrameSize(virtualID);
    if (!virtualFrames) {
        log("startPipeline: WARNING could not read Sonarill buffer frame size");
        return false;
    }
    const std::optional<uint32_t> outputFrames = readBufferFrameSize(outputID);
    if (!outputFrames) {
        log("startPipeline: WARNING could not read " + outputName + " buffer frame size");
        return false;
    }
    const uint32_t v = *virtualFrames, p = *outputFrames;
    const std::string pText = std::to_string(p), vText = std::to_string(v);
    const bool isNew = !originalOutputBufferFrameSizesByUID_.count(outputUID);
    // The size to give back is the one the device had before its first change, whatever changed
    // it: an unusual size the user or another application chose is theirs as much as any other.
    const auto record = [&] {
        if (!isNew)
            return;
        originalOutputBufferFrameSizesByUID_[outputUID] = p;
        if (frameSizeRecordObserver_)
            frameSizeRecordObserver_(outputUID, p);
    };
    if (!isStable(p)) {
        if (const OSStatus status = writeBufferFrameSize(outputID, kRecoveryBufferFrameSize);
            status != noErr) {
            log("startPipeline: WARNING " + outputName + " has unusual buffer frame size " + pText +
                "; could not recover to 512: " + statusText(status));
            return false;
        }
        record();
        const uint32_t now = readBufferFrameSize(outputID).value_or(kRecoveryBufferFrameSize);
        log("startPipeline: recovered " + outputName + " buffer frame size " + pText + " -> " +
            std::to_string(now));
        return isNew;
    }
    if (!isStable(v)) {
        log("startPipeline: leaving " + outputName + " buffer frame size at " + pText +
            "; Sonarill reported " + vText + ", which is not a stable physical-output period");
        return false;
    }
    if (p == v) {
        log("startPipeline: buffer frame size already aligned at " + vText);
        return false;
    }
    if (const OSStatus status = writeBufferFrameSize(outputID, v); status != noErr) {
        log("startPipeline: WARNING could not match " + outputName + " buffer frame size " + pText +
            " -> " + vText + ": " + statusText(status));
        return false;
    }
    record();
    const uint32_t now = readBufferFrameSize(outputID).value_or(v);
    log("startPipeline: matched " + outputName + " buffer frame size " + pText + " -> " +
        std::to_string(now) + " (Sonarill " + vText + ")");
    return isNew;
}

void AudioForwarder::restoreOutputBufferFrameSize(const std::string& outputUID) {
    const auto recorded = originalOutputBufferFrameSizesByUID_.find(outputUID);
    if (recorded == originalOutputBufferFrameSizesByUID_.end())
        return;
    const uint32_t original = recorded->second;
    originalOutputBufferFrameSizesByUID_.erase(recorded);
    if (frameSizeRecordObserver_)
        frameSizeRecordObserver_(outputUID, std::nullopt);
    const std::string originalText = std::to_string(original);
    const std::optional<AudioObjectID> device = audio::findDeviceByUID(outputUID);
    if (!device) {
        log("stopPipeline: output disappeared before buffer frame size restore uid=" + outputUID);
        return;
    }
    if (readBufferFrameSize(*device) == original) {
        log("stopPipeline: buffer frame size already restored for uid=" + outputUID +
            " size=" + originalText);
        return;
    }
    if (const OSStatus status = writeBufferFrameSize(*device, original); status != noErr) {
        log("stopPipeline: WARNING failed to restore buffer frame size for uid=" + outputUID +
            " to " + originalText + ": " + statusText(status));
        return;
    }
    log("stopPipeline: restored buffer frame size for uid=" + outputUID + " to " + originalText);
}

} // namespace sonarill::forwarder
