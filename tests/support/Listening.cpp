#include "support/Listening.h"

#include "sim/Control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace sonarill::testing {

std::string routeText(const std::vector<std::string>& devices,
                      const std::vector<std::pair<std::string, std::string>>& appToDevice) {
    std::string text = "devices:\n";
    for (size_t i = 0; i < devices.size(); ++i)
        text += "- uid: \"" + devices[i] +
                "\"\n  name: \"D\"\n  enabled: true\n  sort_order: " + std::to_string(i) +
                "\n  master_volume: 1.000000\n";
    text += "app_routes:\n";
    for (const auto& [app, device] : appToDevice)
        text +=
            "- bundle_id: \"" + app + "\"\n  device_uid: \"" + device + "\"\n  volume: 1.000000\n";
    return text;
}

void pushRouteText(const std::string& text) {
    const AudioObjectPropertyAddress where{sim::detail::fourCharCode("snrc"),
                                           kAudioObjectPropertyScopeGlobal, 0};
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    EXPECT_EQ(AudioObjectSetPropertyData(deviceID(std::string(sim::kVirtualDeviceUID)), &where, 0,
                                         nullptr, sizeof string, &string),
              noErr);
    CFRelease(string);
}

double amplitudeAt(const std::vector<float>& stereo, int channel, double hz) {
    const size_t frames = stereo.size() / 2;
    if (frames == 0)
        return 0.0;
    const double w = 2.0 * M_PI * hz / 48000.0;
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < frames; ++i) {
        const double s0 = stereo[2 * i + size_t(channel)] + 2.0 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - 2.0 * std::cos(w) * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / double(frames);
}

AudioObjectID deviceID(const std::string& uid) {
    const auto devices = sim::devices();
    const auto found = std::ranges::find(devices, uid, &sim::Device::uid);
    return found == devices.end() ? kAudioObjectUnknown : found->id;
}

UInt32 bufferFrameSize(const std::string& uid) {
    const auto devices = sim::devices();
    const auto found = std::ranges::find(devices, uid, &sim::Device::uid);
    return found == devices.end() ? 0 : found->bufferFrameSize;
}

} // namespace sonarill::testing
