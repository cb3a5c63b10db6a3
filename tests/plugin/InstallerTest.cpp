#include "log/DebugLog.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "plugin/InstallCommand.h"
#include "plugin/PluginLifecycleManager.h"
#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/LogCapture.h"
#include "support/Scratch.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonarill;
using namespace sonarill::plugin;
using namespace ::testing;
using sonarill::testing::LogCapture;
using Outcome = platform::PrivilegedShellResult::Outcome;

namespace {

std::string readFile(const fs::path& file) {
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
}

void writeFile(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

// Every file and folder below root by relative path, with a file's bytes ("/" for a folder).
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        entries[entry.path().lexically_relative(root).string()] =
            entry.is_directory() ? "/" : readFile(entry.path());
    return entries;
}

const auto* const home = sonarill::testing::addScratchHome();

const std::string kInstalling = "PluginLifecycle: installing plugin from ";
const std::string kSupported = "PluginLifecycle: live route config property supported=true";
const std::string kUnsupported = "PluginLifecycle: live route config property supported=false";
const std::string kVisible = "PluginLifecycle: install complete, device visible=true";
const std::string kUpToDate = "PluginLifecycle: plugin up-to-date and live driver supports route "
                              "config \u2014 skipping reinstall";
const std::string kMatch = "PluginLifecycle: bundleID=com.sonarill.driver binaryMatch=";

// Records every script; answers with a fixed result, or runs it in the platform's real shell.
struct RecordingShell final : platform::PrivilegedShell {
    explicit RecordingShell(std::optional<platform::PrivilegedShellResult> fixed = {})
        : answer(std::move(fixed)) {}
    platform::PrivilegedShellResult run(const std::string& script) override {
        scripts.push_back(script);
        return answer ? *answer : real->run(script);
    }
    std::optional<platform::PrivilegedShellResult> answer;
    std::unique_ptr<platform::PrivilegedShell> real = platform::systemPrivilegedShell();
    std::vector<std::string> scripts;
};

// A simulated audio system on a manual clock that moves only when the installer sleeps. The
// plug-in folder and the carried bundle lie below names that break naive quoting in either layer
// or run a command if read unquoted: each install through the real shell proves the paths exact.
class Installer : public ::testing::Test {
protected:
    sonarill::testing::ScopedSimWorld scoped{sim::World{}, sim::TimelineClock::manual};
    const fs::path dataHome = scoped.dataHome() / "data it's \"q\" \\ $(touch pwned)";
    const fs::path appFolder = scoped.dataHome() / "App 'R' \\\" `touch pwned`";
    const fs::path source = appFolder / "Sonarill.driver";
    std::shared_ptr<RecordingShell> shell = std::make_shared<RecordingShell>();
    std::vector<fs::path> sourceFolders{appFolder};
    std::chrono::milliseconds elapsed{0};

    void start(std::optional<bool> installed, bool routeConfig, double loadDelay,
               const sim::DriverBundle& carried = sim::carriedDriverBundle()) {
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1); // restored by the scoped world
        sim::World world = sim::defaultWorld();
        world.plugin = {installed, routeConfig, loadDelay};
        ASSERT_TRUE(sim::resetWorld(world, sim::TimelineClock::manual));
        ASSERT_TRUE(sim::writeDriverBundle(source, carried));
    }

    PluginLifecycleManager manager() {
        InstallerClock clock{[this] { return std::chrono::steady_clock::time_point(elapsed); },
                             [this](std::chrono::milliseconds slept) {
                                 EXPECT_EQ(slept, 200ms) << "one poll interval";
                                 elapsed += slept;
                                 sim::advanceTimeline(std::chrono::duration<double>(slept).count());
                             }};
        return PluginLifecycleManager(PluginInstallerEnvironment{
            shell, sim::halPluginFolder().string(), sourceFolders, clock});
    }

    static fs::path installed() { return sim::halPluginFolder() / "Sonarill.driver"; }
    void TearDown() override { EXPECT_FALSE(fs::remove("pwned")) << "a name was run as a command"; }
};

} // namespace

// The simulated platform's shell must refuse what AppleScript would refuse, or a wrong escape
// in the installer's script would go unnoticed.
TEST(InstallQuoting, ScriptDecodingAcceptsOnlyOneValidDoShellScript) {
    const std::string suffix = " with administrator privileges";
    for (const std::string& script : {
             "do shell script 'ls'" + suffix,       // not a string literal
             std::string("do shell script \"ls\""), // no privileges clause
             "do shell script \"a\"b\"" + suffix,   // quote left unescaped
             "do shell script \"a\\q\"" + suffix,   // unknown escape
             "do shell script \"ls" + suffix,       // literal never closed
             std::string("do shell script \"ls\\"), // escape at the very end
         })
        EXPECT_EQ(platform::shellCommandOfScript(script), std::nullopt) << script;
    EXPECT_EQ(platform::shellCommandOfScript("do shell script \"\\\\a\\nb\\rc\\td\\\"\"" + suffix),
              "\\a\nb\rc\td\"");
}

TEST(InstallBundleMatch, OnlyTheIdentifierAndTheExecutablesBytesDecide) {
    const sonarill::testing::ScopedSimWorld scoped({}, sim::TimelineClock::manual);
    const fs::path installed = scoped.dataHome() / "HAL/Sonarill.driver";
    const fs::path source = scoped.dataHome() / "App/Sonarill.driver";
    const fs::path plist = "Contents/Info.plist";
    const fs::path executable = "Contents/MacOS/libtidewell.dylib";
    const std::string id = "com.sonarill.driver";
    const std::string big(200000, 'x'); // longer than one read chunk
    const auto write = [](const fs::path& bundle, const std::string& identifier,
                          const std::string& bytes,
                          sim::PlistFormat format = sim::PlistFormat::xml) {
        ASSERT_TRUE(sim::writeDriverBundle(bundle, {identifier, true, bytes}, format));
    };
    const PluginLifecycleManager manager(
        PluginInstallerEnvironment{nullptr, installed.parent_path().string(), {}, {}});
    // Compares the bundles as changed since the last call, then makes them identical again.
    const auto expect = [&](const std::string& what, const std::string& binaryMatch) {
        const LogCapture log;
        EXPECT_EQ(manager.installedBundleMatches(installed, source), binaryMatch == "true") << what;
        EXPECT_EQ(log.messages(), binaryMatch.empty() ? std::vector<std::string>{}
                                                      : std::vector{kMatch + binaryMatch})
            << what;
        write(installed, id, big);
        write(source, id, big);
    };
    write(installed, id, big);
    write(source, id, big);
    expect("same XML bundles", "true");
    write(installed, id, big, sim::PlistFormat::binary);
    expect("binary installed plist", "true");
    write(source, id, big, sim::PlistFormat::binary);
    expect("binary source plist", "true");
    write(installed, id + ".old", big);
    expect("other identifier", "");
    write(installed, id, big.substr(1) + "y");
    expect("last byte differs", "false");
    write(installed, id, big.substr(1));
    expect("shorter executable", "false");
    fs::remove(installed / executable);
    fs::remove(source / executable);
    expect("both executables missing", "false");
    fs::remove(installed / plist);
    expect("installed plist missing", "");
    fs::remove(installed / plist);
    fs::create_directory(installed / plist);
    expect("installed plist is a folder", "");
    write(source, id, big, sim::PlistFormat::binary);
    const std::string binary = readFile(source / plist);
    const std::string unreadable[] = {
        "",
        "not a plist",
        binary.substr(0, binary.size() / 2),
        R"(<plist version="1.0"><array><string>com.sonarill.driver</string></array></plist>)",
        R"(<plist version="1.0"><dict><key>CFBundleIdentifier</key><real>7</real></dict></plist>)",
        R"(<plist version="1.0"><dict><key>CFBundleName</key><string>S</string></dict></plist>)"};
    for (const std::string& bytes : unreadable) {
        writeFile(installed / plist, bytes);
        expect("installed plist " + bytes, "");
        writeFile(source / plist, bytes);
        expect("source plist " + bytes, "");
    }
    writeFile(installed / plist, unreadable[5]);
    writeFile(source / plist, unreadable[5]);
    expect("neither has an identifier", "");
}

TEST_F(Installer, InstallsIntoAnEmptyFolderThenFindsItCurrentThenOnlyReportsVisibility) {
    start(false, true, 1.0);
    PluginLifecycleManager first = manager();
    LogCapture firstLog;
    EXPECT_TRUE(first.installForSession());
    EXPECT_EQ(shell->scripts,
              std::vector{privilegedShellScript(installCommand(
                  sim::halPluginFolder().string(), installed().string(), source.string()))});
    EXPECT_EQ(snapshot(installed()), snapshot(source));
    // Nothing else was created: the scoped world's own plug-in folder (2 entries), the data
    // folder down to the plug-in folder (3), the application folder (1), the two bundles, and
    // beside each plug-in folder the simulated system's shared state and its lock (2 + 2).
    EXPECT_EQ(snapshot(scoped.dataHome()).size(), 10 + 2 * (1 + snapshot(source).size()));
    EXPECT_EQ(elapsed, 1000ms) << "reported at the first poll after the load delay";
    EXPECT_THAT(firstLog.messages(),
                ElementsAre(kInstalling + source.string(), kSupported, kVisible));

    // The next run of the application: up to date, so no command and no wait.
    shell = std::make_shared<RecordingShell>();
    elapsed = 0ms;
    PluginLifecycleManager second = manager();
    LogCapture secondLog;
    EXPECT_TRUE(second.installForSession());
    EXPECT_THAT(secondLog.messages(), ElementsAre(kMatch + "true", kSupported, kUpToDate));

    // Later calls in that run only look for the device.
    LogCapture laterLog;
    EXPECT_TRUE(second.installForSession());
    fs::remove_all(installed());
    sim::checkPluginFolder();
    EXPECT_FALSE(second.installForSession());
    EXPECT_TRUE(shell->scripts.empty());
    EXPECT_EQ(elapsed, 0ms);
    EXPECT_THAT(laterLog.messages(),
                ElementsAre("PluginLifecycle: already handled this session, device visible=true",
                            "PluginLifecycle: already handled this session, device visible=false"));
}

TEST_F(Installer, ReinstallsAChangedOrUnloadedOrOutdatedPluginCompletely) {
    const std::string id = "com.sonarill.driver", from = kInstalling + source.string();
    const std::string carried = sim::carriedDriverBundle().executable;
    struct Case {
        const char* name;
        bool installedAtStart;
        bool routeConfig;
        sim::DriverBundle carried;
        std::vector<std::string> firstMessages;
    };
    const Case cases[] = {
        {"changed executable", true, true, {id, true, "newer\n"}, {kMatch + "false", from}},
        {"changed identifier", true, true, {id + ".2", true, carried}, {from}},
        {"device not loaded", false, true, {id, true, carried}, {kMatch + "true", from}},
        {"no live 'snrc'", true, false, {id, true, carried}, {kMatch + "true", kUnsupported, from}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.installedAtStart, c.routeConfig, 1.0, c.carried);
        if (!c.installedAtStart) { // placed there, but the audio server has not loaded it
            ASSERT_TRUE(sim::writeDriverBundle(installed(), c.carried));
        }
        writeFile(installed() / "Contents/Resources/stale.txt", "left over");
        writeFile(sim::halPluginFolder() / "Other.driver/Contents/Info.plist", "neighbour");
        shell = std::make_shared<RecordingShell>();
        LogCapture log;

        EXPECT_TRUE(manager().installForSession());

        EXPECT_EQ(shell->scripts.size(), 1u);
        EXPECT_EQ(snapshot(installed()), snapshot(source)) << "replaced, neither merged nor nested";
        EXPECT_EQ(readFile(sim::halPluginFolder() / "Other.driver/Contents/Info.plist"),
                  "neighbour");
        std::vector<std::string> messages = log.messages();
        EXPECT_EQ(messages.back(), kVisible);
        messages.resize(c.firstMessages.size());
        EXPECT_EQ(messages, c.firstMessages);
    }
}

TEST_F(Installer, WaitPollsEveryFifthOfASecondForEightSecondsThenChecksOnceMore) {
    const sim::DriverBundle carried = sim::carriedDriverBundle();
    struct Case {
        const char* name;
        double loadDelay;
        sim::DriverBundle carried;
        bool ready;
        std::chrono::milliseconds elapsed;
        long unsupported;
    };
    const Case cases[] = {
        {"appears after 3 s", 3.0, carried, true, 3000ms, 0},
        {"appears after the last poll", 7.9, carried, true, 8000ms, 0}, // seen by the final check
        {"never appears", 100.0, carried, false, 8000ms, 0},
        // Five polls before it loads, then 35 polls and the final check find it lacking.
        {"never gets 'snrc'", 1.0, {"com.sonarill.driver", false, "old\n"}, false, 8000ms, 36},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(false, true, c.loadDelay, c.carried);
        elapsed = 0ms;
        PluginLifecycleManager installer = manager();
        LogCapture log;

        EXPECT_EQ(installer.installForSession(), c.ready);

        EXPECT_TRUE(installer.installedThisSession()) << "the command itself succeeded";
        EXPECT_EQ(elapsed, c.elapsed);
        const std::vector<std::string> messages = log.messages();
        EXPECT_EQ(std::count(messages.begin(), messages.end(), kUnsupported), c.unsupported);
        EXPECT_EQ(messages.back(),
                  std::string("PluginLifecycle: install complete, device visible=") +
                      (c.ready ? "true" : "false"));
    }
}

TEST_F(Installer, FailedOrCancelledCommandLeavesTheSessionUnhandledSoTheNextCallTriesAgain) {
    struct Case {
        const char* name;
        std::optional<platform::PrivilegedShellResult> answer; // none: the real shell
        ::testing::Matcher<const std::string&> reason;
    };
    const Case cases[] = {
        {"cancelled", platform::PrivilegedShellResult{Outcome::Failed, "User canceled. (-128)"},
         "PluginLifecycle: privileged command failed: User canceled. (-128)"},
        {"not created", platform::PrivilegedShellResult{Outcome::NotCreated, "syntax error"},
         "PluginLifecycle: ERROR failed to create AppleScript"},
        {"mkdir fails in the real shell", std::nullopt,
         AllOf(StartsWith("PluginLifecycle: privileged command failed: "), HasSubstr("mkdir"),
               EndsWith("(exit status 1)"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(false, true, 1.0);
        writeFile(sim::halPluginFolder(), "a file where the plug-in folder belongs");
        shell = std::make_shared<RecordingShell>(c.answer);
        elapsed = 0ms;
        PluginLifecycleManager installer = manager();
        LogCapture log;

        EXPECT_FALSE(installer.installForSession());

        EXPECT_FALSE(installer.installedThisSession());
        EXPECT_EQ(elapsed, 0ms) << "no wait after a failed command";
        EXPECT_THAT(log.messages(), ElementsAre(kInstalling + source.string(), c.reason,
                                                "PluginLifecycle: ERROR failed to install plugin"));
        EXPECT_FALSE(installer.installForSession());
        EXPECT_EQ(shell->scripts.size(), 2u);
        fs::remove(sim::halPluginFolder());
    }
}

TEST_F(Installer, SourceIsTheFirstExistingCandidateOutsideTheInstalledBundle) {
    start(true, true, 1.0);
    const fs::path empty = scoped.dataHome() / "empty", withFile = scoped.dataHome() / "file";
    fs::create_directories(empty);
    writeFile(withFile / "Sonarill.driver", "a file counts too");
    fs::create_directories(installed() / "Contents/Sonarill.driver");
    // The install removes the installed bundle before copying: a source in there would be lost.
    sourceFolders = {empty, sim::halPluginFolder(), installed() / "Contents", withFile, appFolder};
    EXPECT_EQ(manager().locatePluginSource(), withFile / "Sonarill.driver");

    sourceFolders.resize(3);
    LogCapture log;
    EXPECT_FALSE(manager().installForSession());
    EXPECT_TRUE(shell->scripts.empty());
    EXPECT_THAT(log.messages(), ElementsAre("PluginLifecycle: ERROR plugin source bundle not found "
                                            "(Sonarill.driver)"));
}

TEST_F(Installer, ALinkedSourceInstallsTheRealBundleNotTheLink) {
    start(false, true, 1.0);
    const fs::path linkFolder = scoped.dataHome() / "links";
    fs::create_directories(linkFolder);
    // Relative, so a copy of the link itself would dangle inside the plug-in folder.
    fs::create_directory_symlink(fs::path("..") / appFolder.filename() / "Sonarill.driver",
                                 linkFolder / "Sonarill.driver");
    sourceFolders = {linkFolder};
    EXPECT_EQ(manager().locatePluginSource(), source);

    EXPECT_TRUE(manager().installForSession());
    EXPECT_FALSE(fs::is_symlink(installed()));
    EXPECT_EQ(snapshot(installed()), snapshot(source));

    fs::remove(linkFolder / "Sonarill.driver");
    fs::create_directory_symlink("nowhere", linkFolder / "Sonarill.driver");
    EXPECT_EQ(manager().locatePluginSource(), std::nullopt) << "a dangling link is no source";
}

// The application's own construction: the platform's shell and folders and the real clock, with
// the bundle the build carries next to the executables and the audio server on its own thread.
TEST(InstallerAsTheApplicationBuildsIt, InstallsTheCarriedBundleAndThenFindsItCurrent) {
    sim::World world = sim::defaultWorld();
    world.plugin = {false, true, 0.3};
    const sonarill::testing::ScopedSimWorld simulation(world, sim::TimelineClock::realTime);

    PluginLifecycleManager firstRun;
    EXPECT_EQ(firstRun.locatePluginSource(), *platform::executableFolder() / "Sonarill.driver");
    EXPECT_TRUE(firstRun.installForSession());
    LogCapture log;
    EXPECT_TRUE(PluginLifecycleManager().installForSession());
    EXPECT_EQ(log.messages().back(), kUpToDate);
}
