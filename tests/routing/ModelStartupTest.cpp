// Start-up of the routing model: which devices it enables, what it takes over, what it saves, and
// how it keeps the user's settings when the device list or the file cannot be read.

#include "ModelTestSupport.h"

#include <gmock/gmock.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using routing::PersistedConfig;
using sim::AudioCall;
using sim::Fault;
using ::testing::ElementsAre;

std::optional<std::string> defaultOutput() {
    return sim::defaultDeviceUID(kAudioHardwarePropertyDefaultOutputDevice);
}
std::optional<std::string> defaultSystemOutput() {
    return sim::defaultDeviceUID(kAudioHardwarePropertyDefaultSystemOutputDevice);
}

using Startup = ModelTest;

TEST_F(Startup, WithoutAFileTheDefaultOutputPlaysEveryAppAndTheOutputIsTakenOver) {
    LogCapture log;
    start();
    EXPECT_THAT(uids(model->allDevices()), ElementsAre(kSpeakersUid, kHeadsetUid, kHDMIUid));
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kSpeakersUid));
    ASSERT_EQ(model->routedApps().size(), 3u) << "the browser and its web app are one entry";
    EXPECT_EQ(model->routedApps()[2].bundleId, kChrome);
    EXPECT_EQ(model->routedApps()[2].name, "Google Chrome");
    for (const auto& routed : model->routedApps())
        EXPECT_EQ(routed.deviceUid, kSpeakersUid) << routed.bundleId;
    EXPECT_EQ(defaultOutput(), kVirtual);
    EXPECT_EQ(defaultSystemOutput(), kVirtual);
    EXPECT_THAT(forwarder.currentOutputUIDs(), ElementsAre(kSpeakersUid));
    EXPECT_EQ(configText(), sim::routeConfigText()) << "the file and the driver agree";
    EXPECT_EQ(configText(), model->makeConfigYAML());

    const std::vector<std::string> messages = log.messages();
    const std::vector<std::string> landmarks = {
        "=== AudioRoutingViewModel init ===",
        "loadOutputDevices: current default output UID = " + kSpeakersUid,
        "loadConfig: no config file found at " + configPath().string(),
        "discoverAudioApps: found 4 regular apps, default route " + kSpeakersUid,
        "syncForwarder: routes=[\"" + kSpeakersUid + "@bus0 vol=1.0\"]",
        "setSonarillAsDefault: verification \u2014 default output is now: " + kVirtual,
        "registerDeviceChangeListener: registered",
        "saveConfig: wrote 3 devices, 3 routes to " + configPath().string(),
        "=== AudioRoutingViewModel init complete ==="};
    auto at = messages.begin();
    for (const std::string& landmark : landmarks) {
        at = std::find(at, messages.end(), landmark);
        ASSERT_NE(at, messages.end()) << "missing or out of order: " << landmark;
    }
}

TEST_F(Startup, AFileDecidesWhichDevicesAreActiveAndWhereAppsPlay) {
    writeConfig(PersistedConfig{
        {{kSpeakersUid, "Speakers", std::nullopt, false, 0, 1.0f},
         {kHDMIUid, "LG HDMI", "  Desk  ", true, 5, 1.7f},
         {kHeadsetUid, "Headset", "USB Headset", true, 5, -0.2f},
         {"Gone:0", "Unplugged", std::nullopt, true, 1, 1.0f}},
        {{kMusic, kHDMIUid, 1.5f}, {kPodcasts, "Gone:0", 0.5f}, {"com.quit.App", "Gone:0", 0.3f}}});
    start();
    // Equal sort orders: "Desk" before "USB Headset"; the headset's custom name equals its name.
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHDMIUid, kHeadsetUid));
    EXPECT_EQ(device(kHDMIUid)->displayName(), "Desk");
    EXPECT_EQ(device(kHeadsetUid)->customName, std::nullopt);
    EXPECT_EQ(device(kHDMIUid)->masterVolume, 1.0f);
    EXPECT_EQ(device(kHeadsetUid)->masterVolume, 0.0f);
    EXPECT_FALSE(device(kSpeakersUid)->enabled) << "the default output is enabled only by the file";
    EXPECT_EQ(app(kMusic)->deviceUid, kHDMIUid);
    EXPECT_EQ(app(kMusic)->volume, 1.0f);
    EXPECT_EQ(app(kPodcasts)->deviceUid, kHDMIUid) << "a device not attached falls back";
    EXPECT_EQ(app(kPodcasts)->volume, 0.5f);
    EXPECT_EQ(model->persistedAppRoutes().at("com.quit.App").deviceUid, "Gone:0")
        << "a quit application keeps its remembered route";
    EXPECT_THAT(forwarder.currentOutputUIDs(), ElementsAre(kHDMIUid, kHeadsetUid));
    EXPECT_EQ(configText().find("Gone:0\"\n    name"), std::string::npos)
        << "a device that is not attached leaves the file";
}

TEST_F(Startup, TheBrowserGroupSharesTheRouteOfItsAudioService) {
    writeConfig(PersistedConfig{{},
                                {{"com.google.Chrome.helper", kHDMIUid, 0.4f},
                                 {kChrome, kHeadsetUid, 1.0f},
                                 {"com.google.Chrome.app.youtube", kHeadsetUid, 1.0f}}});
    start();
    EXPECT_EQ(app(kChrome)->deviceUid, kHDMIUid);
    EXPECT_EQ(app(kChrome)->volume, 0.4f);
    EXPECT_FALSE(model->persistedAppRoutes().count("com.google.Chrome.helper"));
    EXPECT_FALSE(model->persistedAppRoutes().count("com.google.Chrome.app.youtube"));
    EXPECT_EQ(model->persistedAppRoutes().at(kChrome).deviceUid, kHDMIUid);

    model->moveApp(kChrome, kSpeakersUid);
    EXPECT_EQ(model->persistedAppRoutes().at(kChrome).deviceUid, kSpeakersUid);
    EXPECT_EQ(model->persistedAppRoutes().at(kChrome).volume, 0.4f);
}

TEST_F(Startup, TwoHostedAppRoutesThatDisagreeAreIgnored) {
    writeConfig(PersistedConfig{{},
                                {{"com.google.Chrome.app.a", kHDMIUid, 1.0f},
                                 {"com.google.Chrome.app.b", kHeadsetUid, 1.0f}}});
    start();
    EXPECT_EQ(app(kChrome)->deviceUid, kSpeakersUid);
}

TEST_F(Startup, AVirtualDeviceLeftAsDefaultIsNotRecordedAsTheOriginal) {
    // The speakers are re-plugged so that the headset is listed first.
    sim::Device speakers = sim::devices()[1];
    ASSERT_EQ(speakers.uid, kSpeakersUid);
    ASSERT_TRUE(sim::removeDeviceByUID(kSpeakersUid));
    speakers.id = 0;
    ASSERT_TRUE(sim::addDevice(speakers));
    ASSERT_TRUE(sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, kVirtual));
    LogCapture log;
    start();
    EXPECT_TRUE(log.contains("loadOutputDevices: current default output UID = " + kVirtual));
    EXPECT_TRUE(log.contains("loadOutputDevices: no device matched default, enabling first: USB "
                             "Headset"));
    EXPECT_EQ(model->startupOutputUID(), kHeadsetUid);
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHeadsetUid));
}

class NoOutputDevices : public ModelTest {
protected:
    static sim::World world() {
        sim::World w = worldWithDriver();
        w.devices.resize(1); // the microphone only
        w.defaultOutput.reset();
        return w;
    }
    NoOutputDevices() : ModelTest(world()) {}
};

TEST_F(NoOutputDevices, NothingIsActiveAndTheVirtualDeviceIsStillTheDefault) {
    start();
    EXPECT_TRUE(model->allDevices().empty());
    for (const auto& routed : model->routedApps())
        EXPECT_EQ(routed.deviceUid, "");
    EXPECT_TRUE(forwarder.currentOutputUIDs().empty());
    EXPECT_EQ(defaultOutput(), kVirtual);
}

TEST_F(Startup, AnUnreadableDeviceListTakesNothingOverUntilTheListCanBeRead) {
    writeConfig(PersistedConfig{{{kHDMIUid, "LG HDMI", std::nullopt, true, 0, 0.5f}},
                                {{kMusic, kHDMIUid, 0.25f}}});
    const std::string before = configText();
    sim::injectFault(Fault{.call = AudioCall::getPropertyDataSize,
                           .selector = kAudioHardwarePropertyDevices,
                           .status = kAudioHardwareNotRunningError});
    LogCapture log;
    start();
    EXPECT_TRUE(log.contains("init: device list unavailable; not taking over system output"));
    EXPECT_EQ(defaultOutput(), kSpeakersUid);
    EXPECT_FALSE(forwarder.isRunning());
    EXPECT_EQ(configText(), before) << "the user's file is not replaced";

    sim::clearFaults();
    sim::Device extra{.uid = "Extra:1", .name = "Extra", .outputChannels = 2};
    ASSERT_TRUE(sim::addDevice(extra));
    settle();
    EXPECT_EQ(defaultOutput(), kVirtual);
    // The file's device, and the default output the file does not know.
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHDMIUid, kSpeakersUid));
    EXPECT_EQ(app(kMusic)->deviceUid, kHDMIUid);
    EXPECT_EQ(app(kMusic)->volume, 0.25f)
        << "the file's routes, not the ones found without devices";
    EXPECT_NEAR(heard(kHDMIUid, 440.0), 0.5 * 0.25 * 0.5, 0.002);
}

TEST_F(Startup, AnUnreadableFileIsKeptAsideBeforeTheFirstSave) {
    const std::string garbage = "\xff\xfe not a configuration \x80";
    writeConfig(garbage);
    LogCapture log;
    start();
    std::filesystem::path kept = configPath();
    kept += ".unreadable";
    EXPECT_TRUE(log.contains("loadConfig: kept unreadable config as " + kept.string()));
    std::ifstream in(kept, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
    EXPECT_EQ(configText(), model->makeConfigYAML());
}

TEST_F(Startup, AnUnreadableFileThatCannotBeKeptIsLeftAloneButTheDriverStillHearsOfIt) {
    writeConfig("not: a configuration\n");
    std::filesystem::path kept = configPath();
    kept += ".unreadable";
    std::filesystem::create_directories(kept / "occupied"); // a rename cannot replace it
    LogCapture log;
    start();
    EXPECT_TRUE(
        log.contains("saveConfig: ERROR could not keep unreadable config; file left unchanged"));
    EXPECT_EQ(configText(), "not: a configuration\n");
    EXPECT_EQ(sim::routeConfigText(), model->makeConfigYAML());
}

TEST_F(Startup, OnlyTheSystemSoundSettingFailingKeepsForwarding) {
    sim::injectFault(Fault{.call = AudioCall::setPropertyData,
                           .selector = kAudioHardwarePropertyDefaultSystemOutputDevice,
                           .status = kAudioHardwareIllegalOperationError});
    LogCapture log;
    start();
    EXPECT_TRUE(log.contains("setSonarillAsDefault: WARNING default system output not changed"));
    EXPECT_FALSE(log.contains("init: could not set Sonarill as default; stopping forwarder"));
    EXPECT_EQ(defaultOutput(), kVirtual);
    EXPECT_NEAR(heard(kSpeakersUid, 440.0), 0.5, 0.005) << "the apps are still heard";
}

TEST_F(Startup, TheDefaultOutputSettingFailingStopsForwarding) {
    sim::injectFault(Fault{.call = AudioCall::setPropertyData,
                           .selector = kAudioHardwarePropertyDefaultOutputDevice,
                           .status = kAudioHardwareIllegalOperationError});
    LogCapture log;
    start();
    EXPECT_TRUE(log.contains("init: could not set Sonarill as default; stopping forwarder"));
    EXPECT_FALSE(forwarder.isRunning());
    EXPECT_EQ(defaultOutput(), kSpeakersUid);
}

TEST_F(Startup, ADevicePluggedWhileTheListenerIsRegisteredIsNotMissed) {
    sim::setCallHook([](const sim::CallInfo& call) {
        if (call.call == AudioCall::addPropertyListener)
            (void)sim::addDevice({.uid = "Early:1", .name = "Early Bird", .outputChannels = 2});
    });
    start();
    sim::setCallHook({});
    ASSERT_NE(device("Early:1"), nullptr);
    EXPECT_FALSE(device("Early:1")->enabled);
}

TEST_F(Startup, TeardownStopsTheTimerTheListenerAndTheResetObserver) {
    start();
    EXPECT_EQ(queue.timerCount(), 1u);
    std::weak_ptr<routing::AudioRoutingViewModel> weak = model;
    model.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(queue.timerCount(), 0u);
    LogCapture log;
    ASSERT_TRUE(sim::addDevice({.uid = "Late:1", .name = "Late", .outputChannels = 2}));
    notifications.post(platform::kResetConfigNotification);
    settle();
    queue.advance(std::chrono::seconds(10));
    EXPECT_TRUE(log.messages().empty());
}

} // namespace
