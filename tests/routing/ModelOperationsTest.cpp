// The routing operations, the application refresh, devices coming and going and the reset, with
// what the user hears after each: the model, the forwarder and the simulated driver together.

#include "ModelTestSupport.h"

#include <gmock/gmock.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using routing::PersistedConfig;
using sim::AudioCall;
using sim::Fault;
using ::testing::ElementsAre;

size_t count(const std::vector<std::string>& messages, const std::string& prefix) {
    return std::count_if(messages.begin(), messages.end(),
                         [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}

// Music (440 Hz, level 0.5) and Podcasts (550 Hz) on the speakers; the headset and the HDMI
// display listed and unused.
class Routing : public ModelTest {
protected:
    void SetUp() override { start(); }
};

TEST_F(Routing, MovingAnAppIsHeardOnTheNewDeviceOnly) {
    ASSERT_NEAR(heard(kSpeakersUid, 440.0), 0.5, 0.005);
    LogCapture log;
    model->moveApp(kMusic, kHeadsetUid);
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kSpeakersUid, kHeadsetUid));
    EXPECT_EQ(forwarder.pipelineBus(kHeadsetUid), 1) << "the enabled device is the last active one";
    EXPECT_NEAR(heard(kHeadsetUid, 440.0), 0.5, 0.005);
    EXPECT_LT(heard(kSpeakersUid, 440.0), 0.001);
    EXPECT_NEAR(heard(kSpeakersUid, 550.0), 0.5, 0.005) << "the other app stays";
    EXPECT_TRUE(log.contains("moveApp: Music from " + kSpeakersUid + " to " + kHeadsetUid));
    EXPECT_EQ(count(log.messages(), "saveConfig: wrote"), 1u);
    EXPECT_EQ(count(log.messages(), "pushConfigToDriver: pushed"), 1u);

    // Onto the device it is on: recorded and saved again, nothing enabled.
    LogCapture again;
    model->moveApp(kMusic, kHeadsetUid);
    EXPECT_EQ(count(again.messages(), "syncForwarder:"), 0u);
    EXPECT_EQ(count(again.messages(), "saveConfig: wrote"), 1u);
}

TEST_F(Routing, VolumesAreHeardWithinOnePercent) {
    model->setVolume(kMusic, 0.5f);
    EXPECT_NEAR(heard(kSpeakersUid, 440.0), 0.25, 0.0025);
    model->setMasterVolume(kSpeakersUid, 0.4f);
    EXPECT_NEAR(heard(kSpeakersUid, 440.0), 0.1, 0.001);
    EXPECT_NEAR(heard(kSpeakersUid, 550.0), 0.2, 0.002);

    model->setVolume(kMusic, 1.3f);
    EXPECT_EQ(app(kMusic)->volume, 1.0f);
    EXPECT_EQ(model->persistedAppRoutes().at(kMusic).volume, 1.0f);
    LogCapture log;
    model->setVolume("com.not.Running", 0.5f);
    model->setMasterVolume("No:Device", 0.5f);
    EXPECT_TRUE(log.messages().empty()) << "nothing listed, nothing saved";
}

TEST_F(Routing, CustomNamesAreTrimmedAndClearedByTheDevicesOwnName) {
    model->setCustomName(kHDMIUid, "  Desk\n");
    EXPECT_EQ(device(kHDMIUid)->customName, "Desk");
    EXPECT_NE(configText().find("Desk"), std::string::npos);
    model->setCustomName(kHDMIUid, "LG HDMI");
    EXPECT_EQ(device(kHDMIUid)->customName, std::nullopt);
    model->setCustomName(kHDMIUid, " \t");
    EXPECT_EQ(device(kHDMIUid)->customName, std::nullopt);
}

TEST_F(Routing, RemovingADevicePrefersAUsedFallbackAndKeepsItListed) {
    model->moveApp(kMusic, kHeadsetUid);    // the headset: active and used
    model->moveApp(kPodcasts, kHDMIUid);    // the HDMI display: active and used
    model->moveApp(kPodcasts, kHeadsetUid); // now active but unused
    ASSERT_THAT(uids(model->activeDevices()), ElementsAre(kSpeakersUid, kHeadsetUid, kHDMIUid));
    model->moveApp(kChrome, kSpeakersUid);

    model->removeOutputDevice(kSpeakersUid);
    EXPECT_EQ(app(kChrome)->deviceUid, kHeadsetUid) << "a used device wins over an unused one";
    EXPECT_FALSE(device(kSpeakersUid)->enabled);
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHeadsetUid, kHDMIUid));
    EXPECT_EQ(forwarder.pipelineBus(kHeadsetUid), 0);
    EXPECT_EQ(forwarder.pipelineBus(kHDMIUid), 1);
    EXPECT_NEAR(heard(kHeadsetUid, 660.0), 0.5, 0.005);

    model->removeOutputDevice(kHDMIUid);
    EXPECT_FALSE(model->canRemoveOutputDevice(kHeadsetUid)) << "the last active device stays";
    EXPECT_FALSE(model->canRemoveOutputDevice(kSpeakersUid)) << "a disabled device";
    model->removeOutputDevice(kHeadsetUid);
    EXPECT_TRUE(device(kHeadsetUid)->enabled);
}

TEST_F(Routing, SwitchingToOneDeviceRepointsRoutesOfAppsThatAreNotRunning) {
    ASSERT_TRUE(sim::quitApp(kPodcasts));
    tick();
    model->switchToOnlyDevice(kHDMIUid);
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHDMIUid));
    EXPECT_EQ(model->allDevices().front().uid, kHDMIUid);
    EXPECT_EQ(model->persistedAppRoutes().at(kPodcasts).deviceUid, kHDMIUid);
    EXPECT_EQ(app(kMusic)->deviceUid, kHDMIUid);
    EXPECT_NEAR(heard(kHDMIUid, 440.0), 0.5, 0.005);
    EXPECT_LT(heard(kSpeakersUid, 440.0), 0.001);
}

TEST_F(Routing, DisablingTheLastDeviceLeavesAppsNowhereUntilOneIsEnabled) {
    model->setVolume(kMusic, 0.3f);
    model->setDeviceEnabled(kSpeakersUid, false);
    EXPECT_EQ(app(kMusic)->deviceUid, "");
    EXPECT_EQ(app(kMusic)->volume, 1.0f) << "apps moved by a disable start again at full volume";
    EXPECT_TRUE(model->usedDevices().empty());
    EXPECT_FALSE(forwarder.isRunning());

    model->moveApp(kMusic, kHeadsetUid);
    EXPECT_EQ(app(kPodcasts)->deviceUid, "") << "a move moves only the dragged app";
    model->setDeviceEnabled(kHDMIUid, true);
    EXPECT_EQ(app(kPodcasts)->deviceUid, kHDMIUid) << "enabling adopts the apps routed nowhere";
    EXPECT_EQ(app(kMusic)->deviceUid, kHeadsetUid) << "apps on an active device stay";
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHeadsetUid, kHDMIUid));
}

TEST_F(Routing, ObserversRunBeforeEachChangeAndCannotChangeTheModel) {
    std::vector<float> seenVolumes;
    auto observation = model->observeWillChange([&] {
        seenVolumes.push_back(app(kMusic)->volume);
        model->setVolume(kMusic, 0.0f); // ignored: a change inside an observer
    });
    model->setVolume(kMusic, 0.6f);
    model->setVolume(kMusic, 0.2f);
    EXPECT_THAT(seenVolumes, ElementsAre(1.0f, 0.6f));
    EXPECT_EQ(app(kMusic)->volume, 0.2f);
    observation.cancel();
    model->setVolume(kMusic, 0.9f);
    EXPECT_EQ(seenVolumes.size(), 2u);
}

TEST_F(Routing, AppsLaunchedAndQuitBetweenTicks) {
    ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.One", .name = "One", .toneHz = 880.0}));
    ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.Two", .name = ""}));
    ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.Agent", .policy = sim::AppPolicy::accessory}));
    LogCapture log;
    tick();
    ASSERT_EQ(model->routedApps().size(), 5u);
    EXPECT_EQ(model->routedApps()[4].name, "Unknown");
    EXPECT_EQ(count(log.messages(), "refreshRunningApps: new app"), 2u);
    EXPECT_EQ(count(log.messages(), "saveConfig: wrote"), 1u) << "one save for both";
    EXPECT_NEAR(heard(kSpeakersUid, 880.0), 0.5, 0.005) << "the driver heard of the new app";

    model->moveApp("com.a.One", kHDMIUid);
    model->setVolume("com.a.One", 0.5f);
    ASSERT_TRUE(sim::quitApp("com.a.One"));
    LogCapture quit;
    tick();
    EXPECT_EQ(app("com.a.One"), nullptr);
    EXPECT_THAT(quit.messages(), ElementsAre("refreshRunningApps: removed quit app One"));

    LogCapture idle;
    tick();
    EXPECT_TRUE(idle.messages().empty()) << "a tick that finds nothing logs nothing";

    ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.One", .name = "One", .toneHz = 880.0}));
    tick();
    EXPECT_EQ(app("com.a.One")->deviceUid, kHDMIUid);
    EXPECT_EQ(app("com.a.One")->volume, 0.5f);
}

TEST_F(Routing, AnActiveDeviceUnpluggedSendsItsAppsToTheFallbackAndComesBackUnused) {
    model->moveApp(kMusic, kHeadsetUid);
    model->setVolume(kMusic, 0.5f);
    LogCapture log;
    ASSERT_TRUE(sim::removeDeviceByUID(kHeadsetUid));
    settle();
    EXPECT_TRUE(log.contains("handleDeviceListChanged: device disconnected: USB Headset (" +
                             kHeadsetUid + ")"));
    EXPECT_FALSE(device(kHeadsetUid)->enabled);
    EXPECT_EQ(app(kMusic)->deviceUid, kSpeakersUid);
    EXPECT_EQ(app(kMusic)->volume, 1.0f);
    EXPECT_NEAR(heard(kSpeakersUid, 440.0), 0.5, 0.005);

    ASSERT_TRUE(sim::addDevice({.uid = kHeadsetUid, .name = "USB Headset", .outputChannels = 2}));
    ASSERT_TRUE(sim::addDevice({.uid = "New:1", .name = "AirPods", .outputChannels = 2}));
    settle();
    EXPECT_EQ(std::count_if(model->allDevices().begin(), model->allDevices().end(),
                            [](const auto& d) { return d.uid == kHeadsetUid; }),
              1);
    EXPECT_FALSE(device(kHeadsetUid)->enabled);
    EXPECT_EQ(model->allDevices().back().uid, "New:1");
    EXPECT_EQ(model->allDevices().back().sortOrder, 3);
    EXPECT_FALSE(model->allDevices().back().enabled);
}

TEST_F(Routing, AFailedDeviceListReadChangesNothing) {
    sim::injectFault(Fault{.call = AudioCall::getPropertyDataSize,
                           .selector = kAudioHardwarePropertyDevices,
                           .status = kAudioHardwareNotRunningError});
    LogCapture log;
    ASSERT_TRUE(sim::addDevice({.uid = "New:1", .name = "New", .outputChannels = 2}));
    settle();
    EXPECT_TRUE(log.contains("handleDeviceListChanged: WARNING could not read device list: " +
                             std::to_string(kAudioHardwareNotRunningError) +
                             "; devices left as they are"));
    EXPECT_TRUE(device(kSpeakersUid)->enabled);
    EXPECT_EQ(app(kMusic)->deviceUid, kSpeakersUid);
    EXPECT_EQ(count(log.messages(), "saveConfig"), 0u);
}

TEST_F(Routing, ADeviceBackUnderANewIDBetweenTwoEventsIsPlayedToAgain) {
    sim::Device speakers = sim::devices()[1];
    ASSERT_EQ(speakers.uid, kSpeakersUid);
    // Gone and back before the model hears of either change.
    ASSERT_TRUE(sim::removeDeviceByUID(kSpeakersUid));
    speakers.id = 0;
    ASSERT_TRUE(sim::addDevice(speakers));
    LogCapture log;
    sim::waitForNotifications();
    queue.runPending();
    EXPECT_TRUE(log.contains("handleDeviceListChanged: device reappeared with a new ID: "
                             "MacBook Pro Speakers (" +
                             kSpeakersUid + ")"));
    EXPECT_TRUE(device(kSpeakersUid)->enabled);
    EXPECT_NEAR(heard(kSpeakersUid, 440.0), 0.5, 0.005);
}

class ServerRestart : public ModelTest {
protected:
    static sim::World world() {
        sim::World w = worldWithDriver();
        w.events.push_back({.at = 2.0, .kind = sim::EventKind::restart, .seconds = 1.0});
        return w;
    }
    ServerRestart() : ModelTest(world()) {}
};

TEST_F(ServerRestart, EverythingIsHeardWhereItWasAfterwards) {
    start();
    model->moveApp(kPodcasts, kHDMIUid);
    model->setVolume(kMusic, 0.5f);
    ASSERT_NEAR(heard(kHDMIUid, 550.0), 0.5, 0.005);
    LogCapture log;
    for (int i = 0; i < 10; ++i) { // through the restart, the model hearing of it as it goes
        sim::advanceTimeline(0.25);
        settle();
    }
    settle();
    EXPECT_TRUE(
        log.contains("handleDeviceListChanged: Sonarill device reappeared; pushing configuration"));
    EXPECT_TRUE(device(kSpeakersUid)->enabled);
    EXPECT_TRUE(device(kHDMIUid)->enabled);
    EXPECT_EQ(app(kPodcasts)->deviceUid, kHDMIUid);
    EXPECT_NEAR(heard(kHDMIUid, 550.0), 0.5, 0.005);
    EXPECT_NEAR(heard(kSpeakersUid, 440.0), 0.25, 0.0025);
    EXPECT_LT(heard(kSpeakersUid, 550.0), 0.001);
}

TEST_F(Routing, ResetKeepsTheDeviceOnBusZeroAndForgetsEverythingElse) {
    model->moveApp(kPodcasts, kHDMIUid);
    model->setVolume(kPodcasts, 0.3f);
    model->setCustomName(kHDMIUid, "Desk");
    model->setMasterVolume(kSpeakersUid, 0.5f);
    ASSERT_TRUE(sim::quitApp(kMusic));
    tick();
    std::filesystem::remove(configPath());
    notifications.post(platform::kResetConfigNotification);
    settle();
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kSpeakersUid));
    EXPECT_EQ(device(kHDMIUid)->customName, std::nullopt);
    EXPECT_EQ(device(kSpeakersUid)->masterVolume, 1.0f);
    EXPECT_EQ(app(kPodcasts)->deviceUid, kSpeakersUid);
    EXPECT_EQ(app(kPodcasts)->volume, 1.0f);
    EXPECT_FALSE(model->persistedAppRoutes().count(kMusic)) << "routes of quit apps are forgotten";
    EXPECT_TRUE(std::filesystem::exists(configPath()));
    EXPECT_NEAR(heard(kSpeakersUid, 550.0), 0.5, 0.005);
}

TEST_F(Routing, ResetDoesNotChooseADeviceTheForwarderStillNamesButTheModelDisabled) {
    model->moveApp(kMusic, kHDMIUid);
    ASSERT_THAT(forwarder.currentOutputUIDs(), ElementsAre(kSpeakersUid, kHDMIUid));
    // Moving the HDMI display to bus 0 fails, so the forwarder keeps naming the speakers first.
    sim::injectFault(Fault{.call = AudioCall::audioComponentInstanceNew, .status = -1});
    model->removeOutputDevice(kSpeakersUid);
    sim::clearFaults();
    ASSERT_FALSE(device(kSpeakersUid)->enabled);
    ASSERT_EQ(forwarder.currentOutputUIDs().front(), kSpeakersUid);
    notifications.post(platform::kResetConfigNotification);
    settle();
    EXPECT_THAT(uids(model->activeDevices()), ElementsAre(kHDMIUid));
    EXPECT_NEAR(heard(kHDMIUid, 440.0), 0.5, 0.005);
}

} // namespace
