// Installing the carried driver into the simulated HAL plug-in folder through the privileged
// shell, and waiting for the virtual device, on a manual clock that moves only when the
// installer sleeps.
#include "platform/Process.h"
#include "plugin/InstallCommand.h"
#include "plugin/PluginLifecycleManager.h"
#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"

#include <gmock/gmock.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonarill;
using namespace sonarill::plugin;
using namespace ::testing;
using namespace sonarill::testing;
using Lines = std::vector<std::string>;
using Outcome = platform::PrivilegedShellResult::Outcome;

namespace {

const auto* const home = addScratchHome();

const std::string kId = "com.sonarill.driver";
const std::string kInstalling = "PluginLifecycle: installing plugin from ";
const std::string kHasSnrc = "PluginLifecycle: live route config property supported=true";
const std::string kNoSnrc = "PluginLifecycle: live route config property supported=false";
const std::string kVisible = "PluginLifecycle: install complete, device visible=";
const std::string kHandled = "PluginLifecycle: already handled this session, device visible=";
const std::string kUpToDate = "PluginLifecycle: plugin up-to-date and live driver supports route "
                              "config \u2014 skipping reinstall";
const std::string kMatch = "PluginLifecycle: bundleID=com.sonarill.driver binaryMatch=";
const std::string kFailed = "PluginLifecycle: ERROR failed to install plugin";

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

// The plug-in folder and the carried bundle lie below names that break naive quoting in either
// layer or run a command if read unquoted: each install through the real shell proves the paths
// exact.
class Installer : public ::testing::Test {
protected:
    ScopedSimWorld scoped{sim::World{}, sim::TimelineClock::manual};
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
        elapsed = 0ms;
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

// Only the identifier and the executable's bytes decide whether the installed bundle is current;
// a bundle whose identifier cannot be read is no match, and then nothing is logged. Equal and
// renamed bundles are the install scenario's rows.
TEST(InstallBundleMatch, OnlyTheIdentifierAndTheExecutablesBytesDecide) {
    const ScopedSimWorld scoped({}, sim::TimelineClock::manual);
    const fs::path installed = scoped.dataHome() / "HAL/Sonarill.driver",
                   source = scoped.dataHome() / "App/Sonarill.driver";
    const std::string big(200000, 'x'), missing = "(missing)"; // longer than one read chunk
    struct Bundle {
        std::string identifier = kId;
        std::string executable; // empty: `big`
        sim::PlistFormat format = sim::PlistFormat::xml;
        std::optional<std::string> plist; // replaces Info.plist
    };
    const auto write = [&](const fs::path& at, const Bundle& b) {
        fs::remove_all(at);
        ASSERT_TRUE(sim::writeDriverBundle(
            at, {b.identifier, true, b.executable.empty() ? big : b.executable}, b.format));
        if (b.executable == missing)
            fs::remove(at / "Contents/MacOS/libtidewell.dylib");
        if (b.plist == missing)
            fs::remove(at / "Contents/Info.plist");
        else if (b.plist)
            writeBytes(at / "Contents/Info.plist", *b.plist);
    };
    const std::string plist = R"(<plist version="1.0">)";
    write(source, {.format = sim::PlistFormat::binary});
    const std::string binary = readBytes(source / "Contents/Info.plist");
    const struct {
        Bundle installed, source;
        std::string binaryMatch; // empty: nothing logged, no match
    } cases[] = {
        {{.format = sim::PlistFormat::binary}, {}, "true"},
        {{.executable = big.substr(1) + "y"}, {}, "false"}, // the last byte differs
        {{.executable = big.substr(1)}, {}, "false"},
        {{.executable = missing}, {.executable = missing}, "false"},
        {{.plist = missing}, {}, ""},
        {{.plist = ""}, {}, ""},
        {{.plist = "not a plist"}, {}, ""},
        {{.plist = binary.substr(0, binary.size() / 2)}, {}, ""},
        {{.plist = plist + "<array><string>com.sonarill.driver</string></array></plist>"}, {}, ""},
        {{.plist = plist + "<dict><key>CFBundleIdentifier</key><real>7</real></dict></plist>"},
         {},
         ""},
        {{},
         {.plist = plist + "<dict><key>CFBundleName</key><string>S</string></dict></plist>"},
         ""},
    };
    const PluginLifecycleManager manager(PluginInstallerEnvironment{nullptr, "", {}, {}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.installed.identifier + " " + c.installed.plist.value_or("") + " / " +
                     c.source.plist.value_or(""));
        write(installed, c.installed);
        write(source, c.source);
        const LogCapture log;
        EXPECT_EQ(manager.installedBundleMatches(installed, source), c.binaryMatch == "true");
        EXPECT_EQ(log.messages(), c.binaryMatch.empty() ? Lines{} : Lines{kMatch + c.binaryMatch});
    }
}

// What one launch's install does: the command it runs, how long it waits for the device, what
// it logs, and what a second call in the same run says.
TEST_F(Installer, InstallsWhatIsMissingOrOutdatedAndWaitsForTheDevice) {
    const sim::DriverBundle carried = sim::carriedDriverBundle(), newer{kId, true, "newer\n"},
                            renamed{kId + ".2", true, carried.executable}, old{kId, false, "old\n"};
    const std::string from = kInstalling + source.string(), yes = kVisible + "true";
    const std::string matches = kMatch + "true", differs = kMatch + "false";
    const std::optional<bool> placed; // in the folder, but not loaded yet
    const Lines snrcAdded = {matches, kNoSnrc, from, kNoSnrc, kHasSnrc, yes};
    Lines neverSnrc = {from};
    neverSnrc.resize(37, kNoSnrc); // five polls before it loads, 35 after, the last check
    neverSnrc.push_back(kVisible + "false");
    struct Case {
        const char* name;
        std::optional<bool> installedAtStart; // absent: placed there, but not loaded yet
        bool routeConfig;
        double loadDelay;
        sim::DriverBundle carried;
        std::chrono::milliseconds waited;
        Lines lines;
    };
    const Case cases[] = {
        {"empty folder", false, true, 1.0, carried, 1000ms, {from, kHasSnrc, yes}},
        {"up to date", true, true, 1.0, carried, 0ms, {matches, kHasSnrc, kUpToDate}},
        {"changed executable", true, true, 1.0, newer, 0ms, {differs, from, kHasSnrc, yes}},
        {"changed identifier", true, true, 1.0, renamed, 0ms, {from, kHasSnrc, yes}},
        {"device not loaded", placed, true, 1.0, carried, 1000ms, {matches, from, kHasSnrc, yes}},
        {"no 'snrc'", true, false, 1.0, carried, 1000ms, snrcAdded},
        {"appears after the last poll", false, true, 7.9, carried, 8000ms, {from, kHasSnrc, yes}},
        {"never appears", false, true, 100.0, carried, 8000ms, {from, kVisible + "false"}},
        {"never gets 'snrc'", false, true, 1.0, old, 8000ms, neverSnrc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.installedAtStart.value_or(false), c.routeConfig, c.loadDelay, c.carried);
        if (!c.installedAtStart) {
            ASSERT_TRUE(sim::writeDriverBundle(installed(), c.carried));
        }
        if (fs::exists(installed()))
            writeBytes(installed() / "Contents/Resources/stale.txt", "left over");
        writeBytes(sim::halPluginFolder() / "Other.driver/Contents/Info.plist", "neighbour");
        shell = std::make_shared<RecordingShell>();
        PluginLifecycleManager installer = manager();
        LogCapture log;

        EXPECT_EQ(installer.installForSession(),
                  c.lines.back() == yes || c.lines.back() == kUpToDate);

        EXPECT_EQ(log.messages(), c.lines);
        EXPECT_EQ(elapsed, c.waited);
        const bool commandRan = c.lines.back() != kUpToDate;
        EXPECT_EQ(shell->scripts, commandRan ? Lines{privilegedShellScript(installCommand(
                                                   sim::halPluginFolder().string(),
                                                   installed().string(), source.string()))}
                                             : Lines{});
        EXPECT_TRUE(installer.installedThisSession());
        if (commandRan) {
            EXPECT_EQ(treeOf(installed()), treeOf(source)) << "replaced, not merged or nested";
        }
        EXPECT_EQ(readBytes(sim::halPluginFolder() / "Other.driver/Contents/Info.plist"),
                  "neighbour");

        // A second call in the same run only looks for the device, 'snrc' or not.
        LogCapture again;
        const bool visible = c.loadDelay < 8.0;
        EXPECT_EQ(installer.installForSession(), visible);
        EXPECT_EQ(again.messages(), Lines{kHandled + (visible ? "true" : "false")});
        EXPECT_EQ(shell->scripts.size(), commandRan ? 1u : 0u);
    }
}

// A failed or cancelled command leaves the session unhandled, so the next call tries again.
TEST_F(Installer, AFailedOrCancelledCommandIsReportedAndTriedAgainWithoutWaiting) {
    struct Case {
        const char* name;
        std::optional<platform::PrivilegedShellResult> answer; // none: the real shell
        Matcher<const std::string&> reason;
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
        writeBytes(sim::halPluginFolder(), "a file where the plug-in folder belongs");
        shell = std::make_shared<RecordingShell>(c.answer);
        PluginLifecycleManager installer = manager();
        for (const size_t tries : {1u, 2u}) {
            LogCapture log;
            EXPECT_FALSE(installer.installForSession());
            EXPECT_THAT(log.messages(),
                        ElementsAre(kInstalling + source.string(), c.reason, kFailed));
            EXPECT_FALSE(installer.installedThisSession());
            EXPECT_EQ(shell->scripts.size(), tries);
        }
        EXPECT_EQ(elapsed, 0ms) << "no wait after a failed command";
        fs::remove(sim::halPluginFolder());
    }
}

TEST_F(Installer, SourceIsTheFirstExistingRealBundleOutsideTheInstalledOne) {
    start(true, true, 1.0);
    const fs::path empty = scoped.dataHome() / "empty", withFile = scoped.dataHome() / "file",
                   links = scoped.dataHome() / "links";
    fs::create_directories(empty);
    writeBytes(withFile / "Sonarill.driver", "a file counts too");
    fs::create_directories(installed() / "Contents/Sonarill.driver");
    // The install removes the installed bundle before copying: a source in there would be lost.
    sourceFolders = {empty, sim::halPluginFolder(), installed() / "Contents", withFile, appFolder};
    EXPECT_EQ(manager().locatePluginSource(), withFile / "Sonarill.driver");
    sourceFolders.resize(3);
    LogCapture log;
    EXPECT_FALSE(manager().installForSession());
    EXPECT_TRUE(shell->scripts.empty());
    EXPECT_EQ(log.messages(), Lines{"PluginLifecycle: ERROR plugin source bundle not found "
                                    "(Sonarill.driver)"});

    // A linked source installs the real bundle it leads to, not the link: a copy of this
    // relative link would dangle inside the plug-in folder.
    start(false, true, 1.0);
    fs::create_directories(links);
    fs::create_directory_symlink(fs::path("..") / appFolder.filename() / "Sonarill.driver",
                                 links / "Sonarill.driver");
    sourceFolders = {links};
    EXPECT_EQ(manager().locatePluginSource(), source);
    EXPECT_TRUE(manager().installForSession());
    EXPECT_FALSE(fs::is_symlink(installed()));
    EXPECT_EQ(treeOf(installed()), treeOf(source));
    fs::remove(links / "Sonarill.driver");
    fs::create_directory_symlink("nowhere", links / "Sonarill.driver");
    EXPECT_EQ(manager().locatePluginSource(), std::nullopt) << "a dangling link is no source";
}
