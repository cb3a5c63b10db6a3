#include "TestSupport.h"

#include "platform/Paths.h"
#include "plugin/InstallCommand.h"
#include "plugin/PluginLifecycleManager.h"
#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/SimWorld.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonarill;
using namespace sonarill::plugin;
using namespace sonarill::plugin::test;
using Outcome = platform::PrivilegedShellResult::Outcome;

namespace {

const std::string kInstallingFrom = "PluginLifecycle: installing plugin from ";
const std::string kSupported = "PluginLifecycle: live route config property supported=true";
const std::string kUnsupported = "PluginLifecycle: live route config property supported=false";
const std::string kVisible = "PluginLifecycle: install complete, device visible=true";
const std::string kUpToDate = "PluginLifecycle: plugin up-to-date and live driver supports route "
                              "config \u2014 skipping reinstall";
const std::string kBinaryMatch = "PluginLifecycle: bundleID=com.sonarill.driver binaryMatch=true";

// Each test gets its own simulated plug-in folder, below a data folder whose name needs every
// kind of quoting, so each install also proves the command reaches those exact paths.
class Installer : public ::testing::Test {
protected:
    TempFolder scratch;
    const fs::path dataHome = scratch.path() / "data it's \"quoted\" \\ $(touch pwned)";
    const fs::path appFolder = scratch.path() / "App 'Resources'";
    const fs::path source = appFolder / "Sonarill.driver";
    FakeClock fakeClock;
    std::shared_ptr<RecordingShell> shell = RecordingShell::forwardingToSystem();

    void SetUp() override {
        fs::create_directories(dataHome);
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        // The installer's sleeps are the simulated audio server's time.
        fakeClock.onSleep = [](std::chrono::milliseconds slept) {
            sim::advanceTimeline(std::chrono::duration<double>(slept).count());
        };
        writeSource(sim::carriedDriverBundle());
    }

    void TearDown() override {
        sim::resetWorld(sim::World{}, sim::TimelineClock::manual);
        unsetenv("XDG_DATA_HOME");
    }

    static void startWorld(std::optional<bool> installed, bool routeConfig, double loadDelay) {
        sim::World world = sim::defaultWorld();
        world.plugin.installed = installed;
        world.plugin.routeConfig = routeConfig;
        world.plugin.loadDelay = loadDelay;
        ASSERT_TRUE(sim::resetWorld(world, sim::TimelineClock::manual));
    }

    void writeSource(const sim::DriverBundle& bundle) {
        ASSERT_EQ(sim::writeDriverBundle(source, bundle), std::nullopt);
    }

    PluginLifecycleManager makeManager() {
        return PluginLifecycleManager(PluginInstallerEnvironment{
            shell, platform::halPluginFolder().string(), {appFolder}, fakeClock.clock()});
    }

    static fs::path installedBundle() { return sim::halPluginFolder() / "Sonarill.driver"; }

    static bool deviceListed() {
        for (const sim::Device& device : sim::devices())
            if (device.uid == sim::kVirtualDeviceUID)
                return true;
        return false;
    }

    std::string expectedScript() {
        return privilegedShellScript(installCommand(sim::halPluginFolder().string(),
                                                    installedBundle().string(), source.string()));
    }
};

} // namespace

TEST_F(Installer, InstallIntoAnEmptyFolderCopiesTheBundleAndReportsTheDeviceOnceLoaded) {
    startWorld(false, true, 1.0);
    PluginLifecycleManager manager = makeManager();
    LogCapture log;

    EXPECT_TRUE(manager.installForSession());

    EXPECT_EQ(shell->scripts(), std::vector<std::string>{expectedScript()});
    EXPECT_EQ(sim::readDriverBundle(installedBundle())->executable,
              sim::carriedDriverBundle().executable);
    EXPECT_EQ(fakeClock.elapsed(), 1000ms);
    EXPECT_TRUE(manager.installedThisSession());
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{kInstallingFrom + source.string(), kSupported, kVisible}));
    EXPECT_FALSE(fs::exists(scratch.path() / "pwned"));
}

TEST_F(Installer, SecondRunFindsThePluginUpToDateAndInstallsNothing) {
    startWorld(false, true, 1.0);
    ASSERT_TRUE(makeManager().installForSession());
    auto secondShell = RecordingShell::forwardingToSystem();
    shell = secondShell;
    fakeClock = FakeClock();
    LogCapture log;

    PluginLifecycleManager secondRun = makeManager();
    EXPECT_TRUE(secondRun.installForSession());

    EXPECT_TRUE(secondShell->scripts().empty());
    EXPECT_EQ(fakeClock.elapsed(), 0ms);
    EXPECT_TRUE(secondRun.installedThisSession());
    EXPECT_EQ(log.messages(), (std::vector<std::string>{kBinaryMatch, kSupported, kUpToDate}));
}

TEST_F(Installer, ChangedExecutableOrIdentifierIsReinstalled) {
    for (const sim::DriverBundle& changed :
         {sim::DriverBundle{"com.sonarill.driver", true, "a newer driver build\n"},
          sim::DriverBundle{"com.sonarill.driver.v2", true,
                            sim::carriedDriverBundle().executable}}) {
        startWorld(true, true, 1.0);
        ASSERT_TRUE(deviceListed());
        writeSource(changed);
        shell = RecordingShell::forwardingToSystem();

        EXPECT_TRUE(makeManager().installForSession()) << changed.bundleIdentifier;

        EXPECT_EQ(shell->scripts().size(), 1u);
        const std::optional<sim::DriverBundle> installed = sim::readDriverBundle(installedBundle());
        ASSERT_TRUE(installed);
        EXPECT_EQ(installed->bundleIdentifier, changed.bundleIdentifier);
        EXPECT_EQ(installed->executable, changed.executable);
    }
}

TEST_F(Installer, IdenticalBundleWhoseDeviceIsNotLoadedIsReinstalled) {
    startWorld(false, true, 1.0);
    // The same bundle as the carried one, placed where the audio server has not loaded it yet.
    ASSERT_EQ(sim::writeDriverBundle(installedBundle(), sim::carriedDriverBundle()), std::nullopt);
    ASSERT_FALSE(deviceListed());
    LogCapture log;

    EXPECT_TRUE(makeManager().installForSession());

    EXPECT_EQ(shell->scripts().size(), 1u);
    EXPECT_EQ(log.messages().front(), kBinaryMatch);
    EXPECT_EQ(log.messages().at(1), kInstallingFrom + source.string());
}

TEST_F(Installer, IdenticalBundleWhoseLiveDriverLacksRouteConfigIsReinstalled) {
    startWorld(true, false, 1.0);
    ASSERT_TRUE(deviceListed());
    writeSource(
        sim::DriverBundle{"com.sonarill.driver", true, sim::carriedDriverBundle().executable});
    LogCapture log;

    EXPECT_TRUE(makeManager().installForSession());

    EXPECT_EQ(shell->scripts().size(), 1u);
    const std::vector<std::string> messages = log.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], kBinaryMatch);
    EXPECT_EQ(messages[1], kUnsupported);
    EXPECT_EQ(messages[2], kInstallingFrom + source.string());
    EXPECT_EQ(messages.back(), kVisible);
}

TEST_F(Installer, WaitWithoutAPluginEndsAfterEightSecondsAndOneFinalCheck) {
    startWorld(false, true, 1.0);
    std::vector<double> lookups;
    sim::setCallHook([&](const sim::CallInfo& info) {
        if (info.object == kAudioObjectSystemObject && info.call == sim::HalCall::getPropertyData)
            lookups.push_back(sim::timelineSeconds());
    });

    EXPECT_FALSE(makeManager().waitForVirtualDevice(PluginLifecycleManager::kInstallWaitTimeout));

    sim::setCallHook({});
    EXPECT_EQ(fakeClock.elapsed(), 8000ms);
    EXPECT_EQ(fakeClock.sleepCount(), 40);
    // One scan per poll at 0, 0.2, ... 7.8 seconds, and the last one after the deadline.
    ASSERT_EQ(lookups.size(), 41u);
    EXPECT_DOUBLE_EQ(lookups.back(), 8.0);
}

TEST_F(Installer, DeviceAppearingAfterADelayIsReportedAsSoonAsAPollSeesIt) {
    startWorld(false, true, 3.0);
    PluginLifecycleManager manager = makeManager();
    ASSERT_TRUE(manager.installForSession());
    EXPECT_EQ(fakeClock.elapsed(), 3000ms);
    EXPECT_EQ(fakeClock.sleepCount(), 15);
}

TEST_F(Installer, DeviceThatNeverGetsRouteConfigIsWaitedForEightSecondsThenReportedMissing) {
    startWorld(false, true, 1.0);
    writeSource(sim::DriverBundle{"com.sonarill.driver", false, "an old driver\n"});
    PluginLifecycleManager manager = makeManager();
    LogCapture log;

    EXPECT_FALSE(manager.installForSession());

    EXPECT_EQ(fakeClock.elapsed(), 8000ms);
    EXPECT_EQ(fakeClock.sleepCount(), 40);
    EXPECT_TRUE(manager.installedThisSession()) << "the command itself succeeded";
    EXPECT_EQ(log.messages().back(), "PluginLifecycle: install complete, device visible=false");
    // Five polls before the device loads, then 35 polls and the final check find it lacking.
    const std::vector<std::string> messages = log.messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), kUnsupported), 36);
}

TEST_F(Installer, NoCarriedBundleAnywhereIsAnErrorWithoutAnyCommand) {
    startWorld(false, true, 1.0);
    fs::remove_all(source);
    LogCapture log;

    EXPECT_FALSE(makeManager().installForSession());

    EXPECT_TRUE(shell->scripts().empty());
    EXPECT_EQ(log.messages(),
              std::vector<std::string>{"PluginLifecycle: ERROR plugin source bundle not found "
                                       "(Sonarill.driver)"});
}

TEST_F(Installer, FailedOrCancelledCommandIsReportedAndTheNextCallTriesAgain) {
    startWorld(false, true, 1.0);
    shell = RecordingShell::answering({Outcome::Failed, "User canceled. (-128)"});
    PluginLifecycleManager manager = makeManager();
    LogCapture log;

    EXPECT_FALSE(manager.installForSession());

    EXPECT_FALSE(manager.installedThisSession());
    EXPECT_EQ(fakeClock.elapsed(), 0ms) << "no wait after a failed command";
    const std::vector<std::string> messages = log.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], "PluginLifecycle: privileged command failed: User canceled. (-128)");
    EXPECT_EQ(messages[2], "PluginLifecycle: ERROR failed to install plugin");

    EXPECT_FALSE(manager.installForSession());
    EXPECT_EQ(shell->scripts().size(), 2u);
}

TEST_F(Installer, ScriptThatCannotBeCreatedIsReportedAsSuch) {
    startWorld(false, true, 1.0);
    shell = RecordingShell::answering({Outcome::NotCreated, "syntax error"});
    LogCapture log;

    EXPECT_FALSE(makeManager().installForSession());

    const std::vector<std::string> messages = log.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1], "PluginLifecycle: ERROR failed to create AppleScript");
    EXPECT_EQ(messages[2], "PluginLifecycle: ERROR failed to install plugin");
}

TEST_F(Installer, CommandFailingInTheRealShellLeavesTheSessionUnhandled) {
    startWorld(false, true, 1.0);
    // A file where the plug-in folder should be: mkdir -p fails.
    fs::create_directories(sim::halPluginFolder().parent_path());
    writeFile(sim::halPluginFolder(), "not a folder");
    PluginLifecycleManager manager = makeManager();
    LogCapture log;

    EXPECT_FALSE(manager.installForSession());

    EXPECT_FALSE(manager.installedThisSession());
    const std::vector<std::string> messages = log.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_TRUE(messages[1].starts_with("PluginLifecycle: privileged command failed: "))
        << messages[1];
    EXPECT_NE(messages[1].find("mkdir"), std::string::npos) << messages[1];
}

TEST_F(Installer, LaterCallsInTheSameRunOnlyReportWhetherTheDeviceIsVisible) {
    startWorld(false, true, 1.0);
    PluginLifecycleManager manager = makeManager();
    ASSERT_TRUE(manager.installForSession());
    LogCapture log;

    EXPECT_TRUE(manager.installForSession());
    fs::remove_all(installedBundle());
    sim::checkPluginFolder();
    sim::advanceTimeline(1.0);
    EXPECT_FALSE(manager.installForSession());

    EXPECT_EQ(shell->scripts().size(), 1u);
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{
                  "PluginLifecycle: already handled this session, device visible=true",
                  "PluginLifecycle: already handled this session, device visible=false"}));
}

TEST_F(Installer, FirstExistingCandidateIsTheSourceButNeverTheInstalledBundleItself) {
    startWorld(true, true, 1.0);
    const fs::path emptyFolder = scratch.path() / "empty";
    fs::create_directories(emptyFolder);
    fs::create_directories(installedBundle() / "Contents/Sonarill.driver");
    // Running from inside the plug-in folder must not offer the installed bundle as its own
    // source: the install removes it before copying.
    PluginLifecycleManager manager(PluginInstallerEnvironment{
        shell,
        platform::halPluginFolder().string(),
        {emptyFolder, sim::halPluginFolder(), installedBundle() / "Contents", appFolder},
        fakeClock.clock()});

    EXPECT_EQ(manager.locatePluginSource(), source);
}

// The application's own construction: the platform's shell and folders and the real clock, with
// the bundle the build carries next to the executables and the audio server on its own thread.
TEST(InstallerAsTheApplicationBuildsIt, InstallsTheCarriedBundleAndThenFindsItCurrent) {
    sim::World world = sim::defaultWorld();
    world.plugin.installed = false;
    world.plugin.loadDelay = 0.3;
    const sonarill::testing::ScopedSimWorld simulation(world, sim::TimelineClock::realTime);

    PluginLifecycleManager firstRun;
    EXPECT_EQ(firstRun.locatePluginSource(), *platform::executableFolder() / "Sonarill.driver");
    EXPECT_TRUE(firstRun.installForSession());
    PluginLifecycleManager secondRun;
    LogCapture log;
    EXPECT_TRUE(secondRun.installForSession());
    EXPECT_EQ(log.messages().back(), kUpToDate);
}
