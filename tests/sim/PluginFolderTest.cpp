// The simulated audio server and its HAL plug-in folder: the virtual device exists while the
// driver bundle lies there and the server has loaded it, a while after the folder last changed.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using namespace sonarill::sim;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldWithDriver;

const AudioObjectPropertyAddress kRouteConfig{detail::fourCharCode("snrc"),
                                              kAudioObjectPropertyScopeGlobal, 0};

std::optional<AudioObjectID> virtualDeviceID() {
    for (const auto& device : devices()) {
        if (device.uid == kVirtualDeviceUID)
            return device.id;
    }
    return std::nullopt;
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

OSStatus setRouteConfig(AudioObjectID device, const char* text, UInt32 size = 8) {
    CFStringRef string =
        text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
    const OSStatus status =
        AudioObjectSetPropertyData(device, &kRouteConfig, 0, nullptr, size, &string);
    if (string != nullptr)
        CFRelease(string);
    return status;
}

// An install restarts the server, which numbers its devices anew; only a driver that says so has
// the route configuration property.
TEST(PluginFolder, ReinstallRestartsTheServerAndOnlyADriverWithRouteConfigurationKeepsIt) {
    World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, TimelineClock::manual);
    const auto before = virtualDeviceID();
    ASSERT_TRUE(before); // installed at start: loaded with the audio server
    EXPECT_FALSE(AudioObjectHasProperty(*before, &kRouteConfig));
    EXPECT_EQ(setRouteConfig(*before, "x"), kAudioHardwareUnknownPropertyError);
    ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    advanceTimeline(1.0);
    EXPECT_FALSE(virtualDeviceID());
    advanceTimeline(1.0);
    const auto after = virtualDeviceID();
    ASSERT_TRUE(after);
    EXPECT_NE(*after, *before);
    EXPECT_FALSE(routeConfigText());
    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # \u00e9\n";
    EXPECT_EQ(setRouteConfig(*after, text.c_str()), noErr);
    EXPECT_EQ(routeConfigText(), text);
    EXPECT_EQ(setRouteConfig(*after, nullptr), kAudio_ParamError);
    EXPECT_EQ(setRouteConfig(*after, "short", 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(routeConfigText(), text);

    // A world installs exactly the bundle the build carries, and one without it removes it.
    const std::filesystem::path carried = SONARILL_CARRIED_DRIVER_DIR;
    const auto read = readDriverBundle(carried);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bundleIdentifier, carriedDriverBundle().bundleIdentifier);
    EXPECT_EQ(read->executable, carriedDriverBundle().executable);
    EXPECT_TRUE(read->supportsRouteConfig);
    ASSERT_TRUE(resetWorld(worldWithDriver(), TimelineClock::manual));
    for (const char* file : {"Contents/Info.plist", "Contents/MacOS/libtidewell.dylib"})
        EXPECT_EQ(fileBytes(world.halFolder() / "Sonarill.driver" / file),
                  fileBytes(carried / file));
    ASSERT_TRUE(resetWorld(defaultWorld(), TimelineClock::manual));
    EXPECT_FALSE(std::filesystem::exists(world.halFolder() / "Sonarill.driver"));
}

} // namespace
