#include "guard/Guard.h"

#include "audio/DeviceLookup.h"
#include "log/DebugLog.h"

#include <cerrno>
#include <utility>

#include <unistd.h>

namespace sonarill::guard {

namespace {

using DebugLog::log;

constexpr size_t kMaxLineLength = 64 * 1024;

std::string statusText(OSStatus status) {
    return std::to_string(status) + " (" + audio::osStatusString(status) + ")";
}

std::optional<std::string> currentDefaultUID(AudioObjectPropertySelector which) {
    const auto device = audio::readUInt32Property(kAudioObjectSystemObject, which);
    return device ? audio::deviceUID(*device) : std::nullopt;
}

void giveDefaultBack(AudioObjectPropertySelector which, const std::string& name,
                     const std::string& recordedUID) {
    const auto current = currentDefaultUID(which);
    if (current != audio::kVirtualDeviceUID) {
        log("guard: " + name + " is " + current.value_or("nil") + ", not Sonarill; left alone");
        return;
    }
    if (recordedUID.empty() || recordedUID == audio::kVirtualDeviceUID) {
        log("guard: no original " + name + " was recorded; it stays on Sonarill");
        return;
    }
    const auto device = audio::findDeviceByUID(recordedUID);
    if (!device) {
        log("guard: " + name + " " + recordedUID + " is gone; it stays on Sonarill");
        return;
    }
    if (const OSStatus status =
            audio::writeUInt32Property(kAudioObjectSystemObject, which, *device);
        status != noErr) {
        log("guard: WARNING could not restore " + name + " to " + recordedUID + ": " +
            statusText(status));
        return;
    }
    log("guard: " + name + " restored to " + recordedUID + " (deviceID=" + std::to_string(*device) +
        ")");
}

void giveFrameSizeBack(const std::string& uid, uint32_t frames) {
    const std::string framesText = std::to_string(frames);
    const auto device = audio::findDeviceByUID(uid);
    if (!device) {
        log("guard: output disappeared before buffer frame size restore uid=" + uid);
        return;
    }
    if (audio::readUInt32Property(*device, kAudioDevicePropertyBufferFrameSize) == frames) {
        log("guard: buffer frame size already restored for uid=" + uid + " size=" + framesText);
        return;
    }
    if (const OSStatus status =
            audio::writeUInt32Property(*device, kAudioDevicePropertyBufferFrameSize, frames);
        status != noErr) {
        log("guard: WARNING failed to restore buffer frame size for uid=" + uid + " to " +
            framesText + ": " + statusText(status));
        return;
    }
    log("guard: restored buffer frame size for uid=" + uid + " to " + framesText);
}

} // namespace

void Guard::take(const Message& message) {
    if (const auto* outputs = std::get_if<OutputsMessage>(&message)) {
        outputs_ = outputs->outputs;
    } else if (const auto* frameSize = std::get_if<FrameSizeMessage>(&message)) {
        if (frameSize->originalSize)
            frameSizes_[frameSize->uid] = *frameSize->originalSize;
        else
            frameSizes_.erase(frameSize->uid);
    } else {
        hasQuit_ = true;
    }
}

void Guard::giveBack() const {
    log("guard: the application ended without quitting; giving its changes back");
    if (outputs_) {
        giveDefaultBack(kAudioHardwarePropertyDefaultOutputDevice, "default output",
                        outputs_->defaultOutputUID);
        giveDefaultBack(kAudioHardwarePropertyDefaultSystemOutputDevice, "default system output",
                        outputs_->defaultSystemOutputUID);
    } else {
        log("guard: no original default output was recorded; defaults left alone");
    }
    for (const auto& [uid, frames] : frameSizes_)
        giveFrameSizeBack(uid, frames);
    log("guard: done");
}

void runGuard(int input) {
    Guard guard;
    std::string pending;
    bool skippingLongLine = false;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(input, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(count));
        size_t start = 0;
        for (size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n', start)) {
            const std::string_view line(pending.data() + start, end - start);
            start = end + 1;
            const auto message =
                std::exchange(skippingLongLine, false) ? std::nullopt : decodeMessage(line);
            if (message)
                guard.take(*message);
            else
                log("guard: WARNING skipped a line that is not a message");
            if (guard.hasQuit())
                return;
        }
        pending.erase(0, start);
        if (pending.size() > kMaxLineLength) {
            pending.clear();
            skippingLongLine = true;
        }
    }
    guard.giveBack();
}

} // namespace sonarill::guard
