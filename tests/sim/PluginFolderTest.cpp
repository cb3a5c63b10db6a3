// The simulated audio server and its HAL plug-in folder: the virtual device exists while the
// driver bundle lies there and the server has loaded it, a while after the folder last changed.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/Listening.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

namespace {

using namespace sonarill::sim;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldWithDriver;

const AudioObjectPropertyAddress kRouteConfig{detail::fourCharCode("snrc"),
                                              kAudioObjectPropertyScopeGlobal, 0};

AudioObjectID virtualDevice() {
    return sonarill::testing::deviceID(std::string(kVirtualDeviceUID));
}

OSStatus setRouteConfig(const char* text, UInt32 size = 8) {
    CFStringRef string =
        text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
    const OSStatus status =
        AudioObjectSetPropertyData(virtualDevice(), &kRouteConfig, 0, nullptr, size, &string);
    if (string != nullptr)
        CFRelease(string);
    return status;
}

// An install restarts the server, which numbers its devices anew; only a driver that says so has
// the route configuration property, and a world without the driver removes it.
TEST(PluginFolder, ReinstallRestartsTheServerAndOnlyADriverWithRouteConfigurationKeepsIt) {
    World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, TimelineClock::manual);
    const AudioObjectID before = virtualDevice();
    ASSERT_NE(before, kAudioObjectUnknown); // installed at start: loaded with the audio server
    EXPECT_FALSE(AudioObjectHasProperty(before, &kRouteConfig));
    EXPECT_EQ(setRouteConfig("x"), kAudioHardwareUnknownPropertyError);
    ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    advanceTimeline(1.0);
    EXPECT_EQ(virtualDevice(), kAudioObjectUnknown);
    advanceTimeline(1.0);
    ASSERT_NE(virtualDevice(), kAudioObjectUnknown);
    EXPECT_NE(virtualDevice(), before);
    EXPECT_FALSE(routeConfigText());
    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # \u00e9\n";
    EXPECT_EQ(setRouteConfig(text.c_str()), noErr);
    EXPECT_EQ(routeConfigText(), text);
    EXPECT_EQ(setRouteConfig(nullptr), kAudio_ParamError);
    EXPECT_EQ(setRouteConfig("short", 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(routeConfigText(), text);

    ASSERT_TRUE(resetWorld(defaultWorld(), TimelineClock::manual));
    EXPECT_FALSE(std::filesystem::exists(world.halFolder() / "Sonarill.driver"));
    EXPECT_EQ(virtualDevice(), kAudioObjectUnknown);
}

} // namespace
