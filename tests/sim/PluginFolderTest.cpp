// The virtual device follows the driver bundle in the simulated HAL folder.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using sonarill::sim::carriedDriverBundle;
using sonarill::sim::DriverBundle;
using sonarill::sim::TimelineClock;
using sonarill::sim::writeDriverBundle;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldWithDriver;

const AudioObjectPropertyAddress kRouteConfig{sonarill::sim::detail::fourCharCode("snrc"),
                                              kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};

std::optional<AudioObjectID> virtualDeviceID() {
    for (const auto& device : sonarill::sim::devices()) {
        if (device.uid == sonarill::sim::kVirtualDeviceUID)
            return device.id;
    }
    return std::nullopt;
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

struct DeviceListCounter {
    std::atomic<int> changes{0};
    static OSStatus count(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* data) {
        ++static_cast<DeviceListCounter*>(data)->changes;
        return noErr;
    }
};

const AudioObjectPropertyAddress kDevices{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};

TEST(PluginFolder, InstalledBundleAppearsAfterTheLoadDelayAndIsAnnounced) {
    ScopedSimWorld world(sonarill::sim::defaultWorld(), TimelineClock::manual);
    DeviceListCounter counter;
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &kDevices, &DeviceListCounter::count, &counter),
              noErr);
    EXPECT_FALSE(virtualDeviceID());

    ASSERT_FALSE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    sonarill::sim::advanceTimeline(0.5);
    EXPECT_FALSE(virtualDeviceID()); // the default world's server takes 1 s to load it
    sonarill::sim::advanceTimeline(0.5);
    const auto device = virtualDeviceID();
    ASSERT_TRUE(device);
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(counter.changes.load(), 1);

    EXPECT_TRUE(AudioObjectHasProperty(*device, &kRouteConfig));
    const AudioObjectPropertyAddress input{kAudioDevicePropertyStreams,
                                           kAudioObjectPropertyScopeInput, 0};
    const AudioObjectPropertyAddress frames{kAudioDevicePropertyBufferFrameSize,
                                            kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(*device, &input, 0, nullptr, &size), noErr);
    EXPECT_GT(size, 0u);
    EXPECT_TRUE(AudioObjectHasProperty(*device, &frames));

    std::filesystem::remove_all(world.halFolder() / "Sonarill.driver");
    sonarill::sim::advanceTimeline(0.0);
    EXPECT_FALSE(virtualDeviceID());
    sonarill::sim::waitForNotifications();
    EXPECT_EQ(counter.changes.load(), 2);
}

TEST(PluginFolder, RouteConfigurationIsStoredForTheDriver) {
    ScopedSimWorld world(worldWithDriver(), TimelineClock::manual);
    const auto device = virtualDeviceID();
    ASSERT_TRUE(device); // installed at start: loaded with the audio server
    EXPECT_FALSE(sonarill::sim::routeConfigText());

    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # é\n";
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    EXPECT_EQ(
        AudioObjectSetPropertyData(*device, &kRouteConfig, 0, nullptr, sizeof(string), &string),
        noErr);
    CFRelease(string);
    EXPECT_EQ(sonarill::sim::routeConfigText(), text);

    CFStringRef null = nullptr;
    EXPECT_EQ(AudioObjectSetPropertyData(*device, &kRouteConfig, 0, nullptr, sizeof(null), &null),
              kAudio_ParamError);
    EXPECT_EQ(AudioObjectSetPropertyData(*device, &kRouteConfig, 0, nullptr, 4, &null),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(sonarill::sim::routeConfigText(), text);
}

TEST(PluginFolder, DriverWithoutRouteConfigurationLacksTheProperty) {
    ScopedSimWorld world(worldWithDriver(false), TimelineClock::manual);
    const auto device = virtualDeviceID();
    ASSERT_TRUE(device);
    EXPECT_FALSE(AudioObjectHasProperty(*device, &kRouteConfig));
    CFStringRef string = CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8);
    EXPECT_EQ(
        AudioObjectSetPropertyData(*device, &kRouteConfig, 0, nullptr, sizeof(string), &string),
        kAudioHardwareUnknownPropertyError);
    CFRelease(string);
}

TEST(PluginFolder, ReinstallRestartsTheServerAndPicksUpTheNewBundle) {
    sonarill::sim::World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, TimelineClock::manual);
    const auto before = virtualDeviceID();
    ASSERT_TRUE(before);
    ASSERT_FALSE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    sonarill::sim::advanceTimeline(1.0);
    EXPECT_FALSE(virtualDeviceID());
    sonarill::sim::advanceTimeline(1.0);
    const auto after = virtualDeviceID();
    ASSERT_TRUE(after);
    EXPECT_NE(*after, *before); // a restarted server numbers its devices anew
    EXPECT_TRUE(AudioObjectHasProperty(*after, &kRouteConfig));
}

TEST(PluginFolder, InvalidBundlesAreNotLoaded) {
    ScopedSimWorld world(sonarill::sim::defaultWorld(), TimelineClock::manual);
    const auto bundle = world.halFolder() / "Sonarill.driver";
    const auto check = [&](const char* what) {
        sonarill::sim::advanceTimeline(5.0);
        EXPECT_FALSE(virtualDeviceID()) << what;
    };

    ASSERT_FALSE(writeDriverBundle(bundle, carriedDriverBundle()));
    std::filesystem::remove(bundle / "Contents/MacOS/libtidewell.dylib");
    check("no executable");

    ASSERT_FALSE(writeDriverBundle(bundle, carriedDriverBundle()));
    std::ofstream(bundle / "Contents/Info.plist", std::ios::trunc) << "not a property list";
    check("unreadable Info.plist");

    ASSERT_FALSE(writeDriverBundle(bundle, {"", true, "x"}));
    std::ofstream(bundle / "Contents/Info.plist", std::ios::trunc)
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
           "<string>Sonarill</string></dict></plist>";
    check("no CFBundleIdentifier");

    std::filesystem::remove_all(bundle);
    ASSERT_FALSE(writeDriverBundle(world.halFolder() / "Other.driver", carriedDriverBundle()));
    check("another bundle name");
}

TEST(PluginFolder, WorldDecidesWhetherTheFolderStartsWithTheDriver) {
    ScopedSimWorld world(worldWithDriver(), TimelineClock::manual);
    const auto installed = world.halFolder() / "Sonarill.driver";
    // The world installs exactly what the build carries.
    for (const char* file : {"Contents/Info.plist", "Contents/MacOS/libtidewell.dylib"}) {
        EXPECT_EQ(fileBytes(installed / file),
                  fileBytes(std::filesystem::path(SONARILL_CARRIED_DRIVER_DIR) / file))
            << file;
    }
    sonarill::sim::World notInstalled = sonarill::sim::defaultWorld();
    ASSERT_TRUE(sonarill::sim::resetWorld(notInstalled, TimelineClock::manual));
    EXPECT_FALSE(std::filesystem::exists(installed));
    EXPECT_FALSE(virtualDeviceID());
}

TEST(PluginFolder, RealTimeServerNoticesAnInstallByItself) {
    sonarill::sim::World initial = sonarill::sim::defaultWorld();
    initial.plugin.loadDelay = 0.1;
    ScopedSimWorld world(initial, TimelineClock::realTime);
    DeviceListCounter counter;
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &kDevices, &DeviceListCounter::count, &counter),
              noErr);
    ASSERT_FALSE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    // Bounded wait: the server polls the folder on its own thread.
    for (int i = 0; i < 200 && !virtualDeviceID(); ++i)
        std::this_thread::sleep_for(25ms);
    ASSERT_TRUE(virtualDeviceID());
    sonarill::sim::waitForNotifications();
    EXPECT_GE(counter.changes.load(), 1);
}

} // namespace
