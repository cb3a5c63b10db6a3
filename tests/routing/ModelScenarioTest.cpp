// The routing model, its forwarder and the simulated driver together, as tables of scenarios: a
// world and a file, what happens after start-up, and what the user then finds: the active
// devices, what each device plays and the log's lines (the rest the row's steps check).

#include "support/ModelOnManualClock.h"

#include <gmock/gmock.h>

#include <functional>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using routing::PersistedConfig;
using sim::AudioCall;
using ::testing::ElementsAre;

std::optional<std::string>
defaultOutput(AudioObjectPropertySelector which = kAudioHardwarePropertyDefaultOutputDevice) {
    return sim::defaultDeviceUID(which);
}
size_t count(const LogCapture& log, const std::string& prefix) {
    const auto lines = log.messages();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}
sim::Fault failing(AudioCall call, AudioObjectPropertySelector selector, OSStatus status) {
    return {.call = call, .selector = selector, .status = status};
}
const sim::Fault kNoDeviceList = failing(
    AudioCall::getPropertyDataSize, kAudioHardwarePropertyDevices, kAudioHardwareNotRunningError);
// Each listed app's name and the device it plays on.
std::vector<std::string> played(const ModelTest& t) {
    std::vector<std::string> result;
    for (const auto& routed : t.model->routedApps())
        result.push_back(routed.name + "@" + routed.deviceUid);
    return result;
}
// The speakers unplugged and plugged again: a new ID, listed last.
void replugSpeakers() {
    sim::Device speakers = sim::devices()[1];
    ASSERT_EQ(speakers.uid, kSpeakersUid);
    ASSERT_TRUE(sim::removeDeviceByUID(kSpeakersUid));
    speakers.id = 0;
    ASSERT_TRUE(sim::addDevice(speakers));
}

struct Tone {
    std::string uid;
    double hz, level; // level 0: silent there
};
using Steps = std::function<void(ModelTest&)>;
struct Scenario {
    std::string name;
    std::function<void(sim::World&)> world; // changes to the default world, plug-in loaded
    std::optional<std::string> file;        // the configuration file before start-up
    Steps before, steps;                    // before and after start-up
    std::vector<std::string> active = {kSpeakersUid}; // unless a row says otherwise
    std::vector<Tone> heard;
    std::vector<std::string> logged; // from before start-up on, in order; "{config}": the file
    std::vector<std::string> notLogged = {};
};

class ModelScenario : public ModelTest, public ::testing::WithParamInterface<Scenario> {
protected:
    static sim::World world() {
        sim::World w = worldWithDriver();
        if (GetParam().world)
            GetParam().world(w);
        return w;
    }
    ModelScenario() : ModelTest(world()) {}
};

TEST_P(ModelScenario, Run) {
    const Scenario& s = GetParam();
    LogCapture log;
    if (s.file)
        writeConfig(*s.file);
    if (s.before)
        s.before(*this);
    start();
    if (s.steps)
        s.steps(*this);
    if (HasFatalFailure())
        return;
    EXPECT_THAT(uids(model->activeDevices()), ::testing::ElementsAreArray(s.active));
    for (const Tone& tone : s.heard)
        EXPECT_NEAR(heard(tone.uid, tone.hz), tone.level, std::max(0.01 * tone.level, 0.001))
            << tone.uid << " at " << tone.hz << " Hz";
    const std::vector<std::string> lines = log.messages();
    auto at = lines.begin();
    for (std::string line : s.logged) {
        if (const size_t mark = line.find("{config}"); mark != std::string::npos)
            line.replace(mark, 8, configPath().string());
        at = std::find(at, lines.end(), line);
        ASSERT_NE(at, lines.end()) << "missing or out of order: " << line;
    }
    for (const std::string& line : s.notLogged)
        EXPECT_FALSE(log.contains(line)) << line;
}

void PrintTo(const Scenario& s, std::ostream* out) {
    *out << s.name;
}
std::string rowName(const ::testing::TestParamInfo<Scenario>& info) {
    return info.param.name;
}

const std::string kFileOfTheHDMIDisplay = makeConfigYAML(PersistedConfig{
    {{kHDMIUid, "LG HDMI", std::nullopt, true, 0, 0.5f}}, {{kMusic, kHDMIUid, 0.25f}}});

const Scenario kStartup[] = {
    {.name = "WithoutAFileTheDefaultOutputPlaysEveryAppAndTheOutputIsTakenOver",
     .steps =
         [](ModelTest& t) {
             EXPECT_THAT(uids(t.model->allDevices()),
                         ElementsAre(kSpeakersUid, kHeadsetUid, kHDMIUid));
             // The browser and its web app are one.
             EXPECT_THAT(played(t), ElementsAre("Music@" + kSpeakersUid, "Podcasts@" + kSpeakersUid,
                                                "Google Chrome@" + kSpeakersUid));
             EXPECT_EQ(defaultOutput(), kVirtual);
             EXPECT_EQ(defaultOutput(kAudioHardwarePropertyDefaultSystemOutputDevice), kVirtual);
             EXPECT_THAT(t.forwarder.currentOutputUIDs(), ElementsAre(kSpeakersUid));
             EXPECT_EQ(t.configText(), sim::routeConfigText()) << "the file and the driver agree";
             EXPECT_EQ(t.configText(), t.model->makeConfigYAML());
         },
     .heard = {{kSpeakersUid, 440.0, 0.5}},
     .logged = {"=== AudioRoutingViewModel init ===",
                "loadOutputDevices: current default output UID = " + kSpeakersUid,
                "    -> skipped (aggregate device)", "loadConfig: no config file found at {config}",
                "discoverAudioApps: found 4 regular apps, default route " + kSpeakersUid,
                "syncForwarder: routes=[\"" + kSpeakersUid + "@bus0 vol=1.0\"]",
                "setSonarillAsDefault: verification \u2014 default output is now: " + kVirtual,
                "registerDeviceChangeListener: registered",
                "saveConfig: wrote 3 devices, 3 routes to {config}",
                "=== AudioRoutingViewModel init complete ==="}},
    {.name = "AFileDecidesWhichDevicesAreActiveAndWhereAppsPlay",
     .file = makeConfigYAML(PersistedConfig{{{kSpeakersUid, "Speakers", std::nullopt, false, 0, 1},
                                             {kHDMIUid, "LG HDMI", "  Desk  ", true, 5, 1.7f},
                                             {kHeadsetUid, "Headset", "USB Headset", true, 5, -.2f},
                                             {"Gone:0", "Unplugged", std::nullopt, true, 1, 1}},
                                            {{kMusic, kHDMIUid, 1.5f},
                                             {kPodcasts, "Gone:0", 0.5f},
                                             {"com.quit.App", "Gone:0", 0.3f}}}),
     .steps =
         [](ModelTest& t) {
             EXPECT_EQ(t.device(kHDMIUid)->displayName(), "Desk");
             EXPECT_EQ(t.device(kHeadsetUid)->customName, std::nullopt) << "equal to its name";
             EXPECT_EQ(t.device(kHeadsetUid)->masterVolume, 0.0f);
             EXPECT_FALSE(t.device(kSpeakersUid)->enabled) << "the file decides";
             EXPECT_EQ(t.app(kPodcasts)->deviceUid, kHDMIUid) << "a device not attached falls back";
             EXPECT_EQ(t.app(kPodcasts)->volume, 0.5f);
             EXPECT_EQ(t.model->persistedAppRoutes().at("com.quit.App").deviceUid, "Gone:0")
                 << "a quit application keeps its remembered route";
             EXPECT_THAT(t.forwarder.currentOutputUIDs(), ElementsAre(kHDMIUid, kHeadsetUid));
             EXPECT_EQ(t.configText().find("Gone:0\"\n    name"), std::string::npos)
                 << "a device that is not attached leaves the file";
         },
     .active = {kHDMIUid, kHeadsetUid}, // equal sort orders: "Desk" before "USB Headset"
     .heard = {{kHDMIUid, 440.0, 0.5}, {kHDMIUid, 550.0, 0.25}, {kHeadsetUid, 440.0, 0.0}}},
    {.name = "TheBrowserGroupSharesTheRouteOfItsAudioService",
     .file = makeConfigYAML(PersistedConfig{{},
                                            {{"com.google.Chrome.helper", kHDMIUid, 0.4f},
                                             {kChrome, kHeadsetUid, 1.0f},
                                             {"com.google.Chrome.app.youtube", kHeadsetUid, 1}}}),
     .steps =
         [](ModelTest& t) {
             EXPECT_EQ(t.app(kChrome)->deviceUid, kHDMIUid);
             EXPECT_EQ(t.app(kChrome)->volume, 0.4f);
             EXPECT_FALSE(t.model->persistedAppRoutes().count("com.google.Chrome.helper"));
             EXPECT_FALSE(t.model->persistedAppRoutes().count("com.google.Chrome.app.youtube"));
             t.model->moveApp(kChrome, kSpeakersUid);
             EXPECT_EQ(t.model->persistedAppRoutes().at(kChrome).deviceUid, kSpeakersUid);
             EXPECT_EQ(t.model->persistedAppRoutes().at(kChrome).volume, 0.4f);
         }},
    {.name = "TwoHostedAppRoutesThatDisagreeAreIgnored",
     .file = makeConfigYAML(PersistedConfig{{},
                                            {{"com.google.Chrome.app.a", kHDMIUid, 1.0f},
                                             {"com.google.Chrome.app.b", kHeadsetUid, 1.0f}}}),
     .steps = [](ModelTest& t) { EXPECT_EQ(t.app(kChrome)->deviceUid, kSpeakersUid); }},
    {.name = "AVirtualDeviceLeftAsDefaultIsNotRecordedAsTheOriginal",
     .before =
         [](ModelTest&) {
             replugSpeakers(); // the headset is now listed first
             ASSERT_TRUE(
                 sim::setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice, kVirtual));
         },
     .steps = [](ModelTest& t) { EXPECT_EQ(t.model->startupOutputUID(), kHeadsetUid); },
     .active = {kHeadsetUid},
     .logged = {"loadOutputDevices: current default output UID = " + kVirtual,
                "loadOutputDevices: no device matched default, enabling first: USB Headset"}},
    {.name = "WithoutOutputDevicesNothingIsActiveAndTheVirtualDeviceIsStillTheDefault",
     .world =
         [](sim::World& w) {
             w.devices.resize(1); // the microphone only
             w.defaultOutput.reset();
         },
     .steps =
         [](ModelTest& t) {
             EXPECT_TRUE(t.model->allDevices().empty());
             EXPECT_THAT(played(t), ElementsAre("Music@", "Podcasts@", "Google Chrome@"));
             EXPECT_TRUE(t.forwarder.currentOutputUIDs().empty());
             EXPECT_EQ(defaultOutput(), kVirtual);
         },
     .active = {}},
    {.name = "AnUnreadableDeviceListTakesNothingOverUntilTheListCanBeRead",
     .world = [](sim::World& w) { w.faults.push_back(kNoDeviceList); },
     .file = kFileOfTheHDMIDisplay,
     .steps =
         [](ModelTest& t) {
             EXPECT_EQ(defaultOutput(), kSpeakersUid);
             EXPECT_FALSE(t.forwarder.isRunning());
             EXPECT_EQ(t.configText(), kFileOfTheHDMIDisplay) << "the user's file stays";
             sim::clearFaults();
             ASSERT_TRUE(sim::addDevice({.uid = "Extra:1", .name = "Extra", .outputChannels = 2}));
             t.settle();
             EXPECT_EQ(defaultOutput(), kVirtual);
             EXPECT_EQ(t.app(kMusic)->volume, 0.25f)
                 << "the file's, not those found without devices";
         },
     .active = {kHDMIUid, kSpeakersUid}, // the file's, and the default output it does not know
     .heard = {{kHDMIUid, 440.0, 0.5 * 0.25 * 0.5}},
     .logged = {"init: device list unavailable; not taking over system output"}},
    {.name = "AnUnreadableFileIsKeptAsideBeforeTheFirstSave",
     .file = "\xff\xfe not a configuration \x80",
     .steps =
         [](ModelTest& t) {
             EXPECT_EQ(readBytes(t.configPath().string() + ".unreadable"),
                       "\xff\xfe not a configuration \x80");
             EXPECT_EQ(t.configText(), t.model->makeConfigYAML());
         },
     .logged = {"loadConfig: kept unreadable config as {config}.unreadable"}},
    {.name = "AnUnreadableFileThatCannotBeKeptIsLeftAloneButTheDriverStillHearsOfIt",
     .file = "not: a configuration\n",
     .before = // a rename cannot replace a folder that holds something
     [](ModelTest& t) {
         std::filesystem::create_directories(t.configPath().string() + ".unreadable/occupied");
     },
     .steps =
         [](ModelTest& t) {
             EXPECT_EQ(t.configText(), "not: a configuration\n");
             EXPECT_EQ(sim::routeConfigText(), t.model->makeConfigYAML());
         },
     .logged = {"saveConfig: ERROR could not keep unreadable config; file left unchanged"}},
    {.name = "OnlyTheSystemSoundSettingFailingKeepsForwarding",
     .world =
         [](sim::World& w) {
             w.faults.push_back(failing(AudioCall::setPropertyData,
                                        kAudioHardwarePropertyDefaultSystemOutputDevice,
                                        kAudioHardwareIllegalOperationError));
         },
     .steps = [](ModelTest&) { EXPECT_EQ(defaultOutput(), kVirtual); },
     .heard = {{kSpeakersUid, 440.0, 0.5}},
     .logged = {"setSonarillAsDefault: WARNING default system output not changed"},
     .notLogged = {"init: could not set Sonarill as default; stopping forwarder"}},
    {.name = "TheDefaultOutputSettingFailingStopsForwarding",
     .world =
         [](sim::World& w) {
             w.faults.push_back(failing(AudioCall::setPropertyData,
                                        kAudioHardwarePropertyDefaultOutputDevice,
                                        kAudioHardwareIllegalOperationError));
         },
     .steps =
         [](ModelTest& t) {
             EXPECT_FALSE(t.forwarder.isRunning());
             EXPECT_EQ(defaultOutput(), kSpeakersUid);
         },
     .logged = {"init: could not set Sonarill as default; stopping forwarder"}},
    {.name = "ADevicePluggedWhileTheListenerIsRegisteredIsNotMissed",
     .before =
         [](ModelTest&) {
             sim::setCallHook([](const sim::CallInfo& call) {
                 if (call.call == AudioCall::addPropertyListener)
                     (void)sim::addDevice({.uid = "Early:1", .name = "Early", .outputChannels = 2});
             });
         },
     .steps =
         [](ModelTest& t) {
             sim::setCallHook({});
             ASSERT_NE(t.device("Early:1"), nullptr);
             EXPECT_FALSE(t.device("Early:1")->enabled);
         }},
};
INSTANTIATE_TEST_SUITE_P(Startup, ModelScenario, ::testing::ValuesIn(kStartup), rowName);

// After start-up: Music (440 Hz, level 0.5), Podcasts (550 Hz) and Chrome (660 Hz) on the
// speakers; the headset and the HDMI display listed and unused.
const Scenario kOperations[] = {
    {.name = "MovingAnAppIsHeardOnTheNewDeviceOnly",
     .steps =
         [](ModelTest& t) {
             LogCapture log;
             t.model->moveApp(kMusic, kHeadsetUid);
             EXPECT_EQ(count(log, "saveConfig: wrote"), 1u);
             EXPECT_EQ(count(log, "pushConfigToDriver: pushed"), 1u);
             EXPECT_EQ(t.forwarder.pipelineBus(kHeadsetUid), 1) << "the enabled one is last";
             LogCapture again; // onto its own device: recorded and saved again, nothing enabled
             t.model->moveApp(kMusic, kHeadsetUid);
             EXPECT_EQ(count(again, "syncForwarder:"), 0u);
             EXPECT_EQ(count(again, "saveConfig: wrote"), 1u);
         },
     .active = {kSpeakersUid, kHeadsetUid},
     .heard = {{kHeadsetUid, 440.0, 0.5}, {kSpeakersUid, 440.0, 0.0}, {kSpeakersUid, 550.0, 0.5}},
     .logged = {"moveApp: Music from " + kSpeakersUid + " to " + kHeadsetUid}},
    {.name = "VolumesAreHeardWithinOnePercentAndClamped",
     .steps =
         [](ModelTest& t) {
             t.model->setVolume(kMusic, 0.5f);
             t.model->setVolume(kMusic, 1.3f);
             EXPECT_EQ(t.app(kMusic)->volume, 1.0f);
             EXPECT_EQ(t.model->persistedAppRoutes().at(kMusic).volume, 1.0f);
             t.model->setVolume(kMusic, 0.25f);
             t.model->setMasterVolume(kSpeakersUid, 0.4f);
             LogCapture log;
             t.model->setVolume("com.not.Running", 0.5f);
             t.model->setMasterVolume("No:Device", 0.5f);
             EXPECT_TRUE(log.messages().empty()) << "nothing listed, nothing saved";
         },
     .heard = {{kSpeakersUid, 440.0, 0.05}, {kSpeakersUid, 550.0, 0.2}}},
    {.name = "CustomNamesAreTrimmedAndClearedByTheDevicesOwnName",
     .steps =
         [](ModelTest& t) {
             t.model->setCustomName(kHDMIUid, "  Desk\n");
             EXPECT_EQ(t.device(kHDMIUid)->customName, "Desk");
             EXPECT_NE(t.configText().find("Desk"), std::string::npos);
             t.model->setCustomName(kHDMIUid, "LG HDMI");
             EXPECT_EQ(t.device(kHDMIUid)->customName, std::nullopt);
             EXPECT_EQ(t.configText().find("Desk"), std::string::npos);
         }},
    {.name = "RemovingADevicePrefersAUsedFallbackAndKeepsItListed",
     .steps =
         [](ModelTest& t) {
             t.model->moveApp(kMusic, kHDMIUid);
             t.model->moveApp(kPodcasts, kHeadsetUid); // the headset: active and used
             t.model->moveApp(kMusic, kHeadsetUid);    // the HDMI display: active, unused, first
             t.model->removeOutputDevice(kSpeakersUid);
             EXPECT_EQ(t.app(kChrome)->deviceUid, kHeadsetUid) << "a used device wins";
             EXPECT_THAT(uids(t.model->activeDevices()), ElementsAre(kHDMIUid, kHeadsetUid));
             EXPECT_EQ(t.forwarder.pipelineBus(kHDMIUid), 0);
             EXPECT_EQ(t.forwarder.pipelineBus(kHeadsetUid), 1);
             t.model->removeOutputDevice(kHDMIUid);
             EXPECT_FALSE(t.model->canRemoveOutputDevice(kHeadsetUid)) << "the last active one";
             t.model->removeOutputDevice(kHeadsetUid);
         },
     .active = {kHeadsetUid},
     .heard = {{kHeadsetUid, 660.0, 0.5}}},
    {.name = "SwitchingToOneDeviceRepointsRoutesOfAppsThatAreNotRunning",
     .steps =
         [](ModelTest& t) {
             ASSERT_TRUE(sim::quitApp(kPodcasts));
             t.tick();
             t.model->switchToOnlyDevice(kHDMIUid);
             EXPECT_EQ(t.model->allDevices().front().uid, kHDMIUid);
             EXPECT_EQ(t.model->persistedAppRoutes().at(kPodcasts).deviceUid, kHDMIUid);
         },
     .active = {kHDMIUid},
     .heard = {{kHDMIUid, 440.0, 0.5}, {kSpeakersUid, 440.0, 0.0}}},
    {.name = "DisablingTheLastDeviceLeavesAppsNowhereUntilOneIsEnabled",
     .steps =
         [](ModelTest& t) {
             t.model->setVolume(kMusic, 0.3f);
             t.model->setDeviceEnabled(kSpeakersUid, false);
             EXPECT_EQ(t.app(kMusic)->deviceUid, "");
             EXPECT_EQ(t.app(kMusic)->volume, 1.0f) << "moved by a disable: at full volume again";
             EXPECT_FALSE(t.forwarder.isRunning());
             t.model->moveApp(kMusic, kHeadsetUid);
             EXPECT_EQ(t.app(kPodcasts)->deviceUid, "") << "a move moves only the dragged app";
             t.model->setDeviceEnabled(kHDMIUid, true);
         },
     // Enabling adopts the apps routed nowhere; those on an active device stay.
     .active = {kHeadsetUid, kHDMIUid},
     .heard = {{kHDMIUid, 550.0, 0.5}, {kHeadsetUid, 440.0, 0.5}}},
    {.name = "AppsLaunchedAndQuitBetweenTicks",
     .steps =
         [](ModelTest& t) {
             ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.One", .name = "One", .toneHz = 880}));
             ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.Two", .name = ""}));
             ASSERT_TRUE(
                 sim::launchApp({.bundleId = "com.a.Agent", .policy = sim::AppPolicy::accessory}));
             LogCapture log;
             t.tick();
             ASSERT_EQ(t.model->routedApps().size(), 5u);
             EXPECT_EQ(t.model->routedApps()[4].name, "Unknown");
             EXPECT_EQ(count(log, "refreshRunningApps: new app"), 2u);
             EXPECT_EQ(count(log, "saveConfig: wrote"), 1u) << "one save for both";
             EXPECT_NEAR(t.heard(kSpeakersUid, 880.0), 0.5, 0.005) << "the driver heard of it";
             t.model->moveApp("com.a.One", kHDMIUid);
             t.model->setVolume("com.a.One", 0.5f);
             ASSERT_TRUE(sim::quitApp("com.a.One"));
             LogCapture quit;
             t.tick();
             EXPECT_EQ(t.app("com.a.One"), nullptr);
             EXPECT_THAT(quit.messages(), ElementsAre("refreshRunningApps: removed quit app One"));
             LogCapture idle;
             t.tick();
             EXPECT_TRUE(idle.messages().empty()) << "a tick that finds nothing logs nothing";
             ASSERT_TRUE(sim::launchApp({.bundleId = "com.a.One", .name = "One", .toneHz = 880}));
             t.tick();
         },
     .active = {kSpeakersUid, kHDMIUid},
     .heard = {{kHDMIUid, 880.0, 0.25}}}, // back where it was, as loud as it was
    {.name = "AnActiveDeviceUnpluggedSendsItsAppsToTheFallbackAndComesBackUnused",
     .steps =
         [](ModelTest& t) {
             t.model->moveApp(kMusic, kHeadsetUid);
             t.model->setVolume(kMusic, 0.5f);
             ASSERT_TRUE(sim::removeDeviceByUID(kHeadsetUid));
             t.settle();
             EXPECT_EQ(t.app(kMusic)->volume, 1.0f);
             ASSERT_TRUE(sim::addDevice({.uid = kHeadsetUid, .name = "USB", .outputChannels = 2}));
             ASSERT_TRUE(sim::addDevice({.uid = "New:1", .name = "AirPods", .outputChannels = 2}));
             t.settle();
             EXPECT_THAT(uids(t.model->allDevices()),
                         ElementsAre(kSpeakersUid, kHeadsetUid, kHDMIUid, "New:1"));
             EXPECT_EQ(t.device("New:1")->sortOrder, 3);
             EXPECT_FALSE(t.device("New:1")->enabled);
         },
     .heard = {{kSpeakersUid, 440.0, 0.5}},
     .logged = {"handleDeviceListChanged: device disconnected: USB Headset (" + kHeadsetUid + ")"}},
    {.name = "AFailedDeviceListReadChangesNothingAndADeviceBackUnderANewIDIsPlayedToAgain",
     .steps =
         [](ModelTest& t) {
             sim::injectFault(kNoDeviceList);
             LogCapture log;
             ASSERT_TRUE(sim::addDevice({.uid = "New:1", .name = "New", .outputChannels = 2}));
             t.settle();
             EXPECT_EQ(count(log, "saveConfig"), 0u);
             sim::clearFaults();
             replugSpeakers(); // gone and back before the model hears of either change
             t.settle();
         },
     .heard = {{kSpeakersUid, 440.0, 0.5}},
     .logged = {"handleDeviceListChanged: WARNING could not read device list: " +
                    std::to_string(kAudioHardwareNotRunningError) + "; devices left as they are",
                "handleDeviceListChanged: device reappeared with a new ID: MacBook Pro Speakers (" +
                    kSpeakersUid + ")"}},
    {.name = "AfterTheAudioServerRestartsEverythingIsHeardWhereItWas",
     .world =
         [](sim::World& w) {
             w.events.push_back({.at = 2.0, .kind = sim::EventKind::restart, .seconds = 1.0});
         },
     .steps =
         [](ModelTest& t) {
             t.model->moveApp(kPodcasts, kHDMIUid);
             t.model->setVolume(kMusic, 0.5f);
             ASSERT_NEAR(t.heard(kHDMIUid, 550.0), 0.5, 0.005);
             for (int i = 0; i < 10; ++i) { // through the restart, hearing of it as it goes
                 sim::advanceTimeline(0.25);
                 t.settle();
             }
             t.settle();
         },
     .active = {kSpeakersUid, kHDMIUid},
     .heard = {{kHDMIUid, 550.0, 0.5}, {kSpeakersUid, 440.0, 0.25}, {kSpeakersUid, 550.0, 0.0}},
     .logged = {"handleDeviceListChanged: Sonarill device reappeared; pushing configuration"}},
    {.name = "ResetKeepsTheDeviceOnBusZeroAndForgetsEverythingElse",
     .steps =
         [](ModelTest& t) {
             t.model->moveApp(kPodcasts, kHDMIUid);
             t.model->setVolume(kPodcasts, 0.3f);
             t.model->setCustomName(kHDMIUid, "Desk");
             t.model->setMasterVolume(kSpeakersUid, 0.5f);
             ASSERT_TRUE(sim::quitApp(kMusic));
             t.tick();
             std::filesystem::remove(t.configPath());
             t.notifications.post(platform::kResetConfigNotification);
             t.settle();
             EXPECT_EQ(t.device(kHDMIUid)->customName, std::nullopt);
             EXPECT_FALSE(t.model->persistedAppRoutes().count(kMusic)) << "quit apps forgotten";
             EXPECT_TRUE(std::filesystem::exists(t.configPath()));
         },
     .heard = {{kSpeakersUid, 550.0, 0.5}}}, // at full volume on the full-volume speakers
    {.name = "ResetDoesNotChooseADeviceTheForwarderStillNamesButTheModelDisabled",
     .steps =
         [](ModelTest& t) {
             t.model->moveApp(kMusic, kHDMIUid);
             // Moving the HDMI display to bus 0 fails: the forwarder still names the speakers.
             sim::injectFault({.call = AudioCall::audioComponentInstanceNew, .status = -1});
             t.model->removeOutputDevice(kSpeakersUid);
             sim::clearFaults();
             ASSERT_FALSE(t.device(kSpeakersUid)->enabled);
             ASSERT_EQ(t.forwarder.currentOutputUIDs().front(), kSpeakersUid);
             t.notifications.post(platform::kResetConfigNotification);
             t.settle();
         },
     .active = {kHDMIUid},
     .heard = {{kHDMIUid, 440.0, 0.5}}},
};
INSTANTIATE_TEST_SUITE_P(Operations, ModelScenario, ::testing::ValuesIn(kOperations), rowName);

using Model = ModelTest;

TEST_F(Model, ObserversRunBeforeEachChangeAndCannotChangeTheModel) {
    start();
    std::vector<float> seen;
    auto observation = model->observeWillChange([&] {
        seen.push_back(app(kMusic)->volume);
        model->setVolume(kMusic, 0.0f); // ignored: a change inside an observer
    });
    model->setVolume(kMusic, 0.6f);
    model->setVolume(kMusic, 0.2f);
    EXPECT_THAT(seen, ElementsAre(1.0f, 0.6f));
    EXPECT_EQ(app(kMusic)->volume, 0.2f);
    observation.cancel();
    model->setVolume(kMusic, 0.9f);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Model, TeardownStopsTheTimerTheListenerAndTheResetObserver) {
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
