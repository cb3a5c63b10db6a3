// The virtual device follows the driver bundle in the simulated HAL folder.

#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

using namespace sonarill::sim;
using sonarill::testing::ScopedSimWorld;
using sonarill::testing::worldWithDriver;
using ::testing::AnyOf;

const AudioObjectPropertyAddress kRouteConfig{detail::fourCharCode("snrc"),
                                              kAudioObjectPropertyScopeGlobal, 0};
const AudioObjectPropertyAddress kDevices{kAudioHardwarePropertyDevices,
                                          kAudioObjectPropertyScopeGlobal, 0};

std::optional<AudioObjectID> virtualDeviceID() {
    for (const auto& device : devices()) {
        if (device.uid == kVirtualDeviceUID)
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

OSStatus setRouteConfig(AudioObjectID device, const char* text, UInt32 size = 8) {
    CFStringRef string =
        text ? CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8) : nullptr;
    const OSStatus status =
        AudioObjectSetPropertyData(device, &kRouteConfig, 0, nullptr, size, &string);
    if (string != nullptr)
        CFRelease(string);
    return status;
}

OSStatus countChange(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* changes) {
    ++*static_cast<std::atomic<int>*>(changes);
    return noErr;
}

TEST(PluginFolder, InstalledBundleAppearsAfterTheLoadDelayAndIsAnnounced) {
    ScopedSimWorld world(defaultWorld(), TimelineClock::manual);
    std::atomic<int> changes{0};
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &kDevices, &countChange, &changes), noErr);
    EXPECT_FALSE(virtualDeviceID());

    ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    advanceTimeline(0.5);
    EXPECT_FALSE(virtualDeviceID()); // the default world's server takes 1 s to load it
    advanceTimeline(0.5);
    const auto device = virtualDeviceID();
    ASSERT_TRUE(device);
    waitForNotifications();
    EXPECT_EQ(changes.load(), 1);

    EXPECT_TRUE(AudioObjectHasProperty(*device, &kRouteConfig));
    const AudioObjectPropertyAddress frames{kAudioDevicePropertyBufferFrameSize,
                                            kAudioObjectPropertyScopeGlobal, 0};
    UInt32 frameSize = 0, size = sizeof(frameSize);
    EXPECT_EQ(AudioObjectGetPropertyData(*device, &frames, 0, nullptr, &size, &frameSize), noErr);
    EXPECT_THAT(frameSize, AnyOf(512u, 1024u, 2048u, 4096u)); // a size the forwarder matches

    std::filesystem::remove_all(world.halFolder() / "Sonarill.driver");
    advanceTimeline(0.0);
    EXPECT_FALSE(virtualDeviceID());
    waitForNotifications();
    EXPECT_EQ(changes.load(), 2);
}

TEST(PluginFolder, ReinstallRestartsTheServerAndOnlyADriverWithRouteConfigurationKeepsIt) {
    World initial = worldWithDriver(false);
    initial.plugin.loadDelay = 2.0;
    ScopedSimWorld world(initial, TimelineClock::manual);
    const auto before = virtualDeviceID();
    ASSERT_TRUE(before); // installed at start: loaded with the audio server
    EXPECT_FALSE(AudioObjectHasProperty(*before, &kRouteConfig));
    EXPECT_EQ(setRouteConfig(*before, "x"), kAudioHardwareUnknownPropertyError);
    // Bundles installed from a Mac may carry a binary Info.plist.
    ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle(),
                                  PlistFormat::binary));
    advanceTimeline(1.0);
    EXPECT_FALSE(virtualDeviceID());
    advanceTimeline(1.0);
    const auto after = virtualDeviceID();
    ASSERT_TRUE(after);
    EXPECT_NE(*after, *before); // a restarted server numbers its devices anew
    EXPECT_TRUE(AudioObjectHasProperty(*after, &kRouteConfig));
    EXPECT_FALSE(routeConfigText());
    const std::string text = "devices:\n  - uid: \"BuiltInSpeakerDevice\" # \u00e9\n";
    EXPECT_EQ(setRouteConfig(*after, text.c_str()), noErr);
    EXPECT_EQ(routeConfigText(), text);
    EXPECT_EQ(setRouteConfig(*after, nullptr), kAudio_ParamError);
    EXPECT_EQ(setRouteConfig(*after, "short", 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(routeConfigText(), text);
}

TEST(PluginFolder, InvalidBundlesAreNotLoaded) {
    ScopedSimWorld world(defaultWorld(), TimelineClock::manual);
    const auto bundle = world.halFolder() / "Sonarill.driver";
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"no executable", "Contents/MacOS/libtidewell.dylib", nullptr},
        {"unreadable Info.plist", "Contents/Info.plist", "not a property list"},
        {"no CFBundleIdentifier", "Contents/Info.plist",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleName</key>"
         "<string>Sonarill</string></dict></plist>"},
    };
    for (const auto& [what, file, content] : cases) {
        ASSERT_TRUE(writeDriverBundle(bundle, carriedDriverBundle()));
        if (content != nullptr)
            std::ofstream(bundle / file) << content;
        else
            std::filesystem::remove(bundle / file);
        advanceTimeline(5.0);
        EXPECT_FALSE(virtualDeviceID()) << what;
    }
    std::filesystem::remove_all(bundle);
    ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Other.driver", carriedDriverBundle()));
    advanceTimeline(5.0);
    EXPECT_FALSE(virtualDeviceID()) << "another bundle name";
}

TEST(PluginFolder, WorldInstallsExactlyTheBundleTheBuildCarries) {
    const std::filesystem::path carried = SONARILL_CARRIED_DRIVER_DIR;
    const auto read = readDriverBundle(carried);
    ASSERT_TRUE(read);
    EXPECT_EQ(
        std::tie(read->bundleIdentifier, read->supportsRouteConfig, read->executable),
        std::tuple(carriedDriverBundle().bundleIdentifier, true, carriedDriverBundle().executable));
    ScopedSimWorld world(worldWithDriver(), TimelineClock::manual);
    const auto installed = world.halFolder() / "Sonarill.driver";
    for (const char* file : {"Contents/Info.plist", "Contents/MacOS/libtidewell.dylib"})
        EXPECT_EQ(fileBytes(installed / file), fileBytes(carried / file)) << file;
    ASSERT_TRUE(resetWorld(defaultWorld(), TimelineClock::manual));
    EXPECT_FALSE(std::filesystem::exists(installed));
    EXPECT_FALSE(virtualDeviceID());
}

TEST(PluginFolder, RealTimeServerRunsEventsAndNoticesAnInstallByItself) {
    World initial = sonarill::testing::worldFromJSON(R"({"plugin": {"loadDelay": 0.1},
        "devices": [{"uid": "A", "name": "A", "outputChannels": 2}],
        "events": [{"at": 0.05, "unplug": "A"}]})");
    ScopedSimWorld world(initial, TimelineClock::realTime);
    std::atomic<int> changes{0};
    ASSERT_EQ(AudioObjectAddPropertyListener(1, &kDevices, &countChange, &changes), noErr);
    ASSERT_TRUE(writeDriverBundle(world.halFolder() / "Sonarill.driver", carriedDriverBundle()));
    // Bounded wait, well inside the 8 s an installer waits: the server polls on its own thread.
    for (int i = 0; i < 200 && (!virtualDeviceID() || devices().size() != 1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(virtualDeviceID());
    EXPECT_EQ(devices().size(), 1u); // "A" was unplugged
    waitForNotifications();
    EXPECT_EQ(changes.load(), 2);
}

} // namespace
