// Installing the carried driver into the simulated HAL plug-in folder through the privileged
// shell, and waiting for the virtual device, on a manual clock that moves only when the
// installer sleeps.
#include "platform/Process.h"
#include "plugin/InstallCommand.h"
#include "plugin/PluginLifecycleManager.h"
#include "sim/Control.h"
#include "sim/DriverBundle.h"
#include "support/DataRows.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/SimWorld.h"
#include "support/TextTables.h"

#include <gmock/gmock.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace sonarill;
using namespace sonarill::plugin;
using namespace ::testing;
using namespace sonarill::testing;
using Lines = std::vector<std::string>;
using Outcome = platform::PrivilegedShellResult::Outcome;
using nlohmann::json;

namespace {

const auto* const home = addScratchHome();

const std::string kId = "com.sonarill.driver";
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

    void start(const sim::PluginSettings& plugin,
               const sim::DriverBundle& carried = sim::carriedDriverBundle()) {
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1); // restored by the scoped world
        sim::World world = sim::defaultWorld();
        world.plugin = plugin;
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

// Only the identifier and the executable's bytes decide whether the installed bundle is current,
// as each row of tests/scenarios/installer/bundle-match.json says; a bundle whose identifier
// cannot be read is no match, and then nothing is logged. Equal and renamed bundles are the
// install runs' rows.
class InstallBundleMatch : public ::testing::TestWithParam<DataRow> {};

TEST_P(InstallBundleMatch, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "installed", "source", "match"});
    const ScopedSimWorld scoped({}, sim::TimelineClock::manual);
    const fs::path installed = scoped.dataHome() / "HAL/Sonarill.driver",
                   source = scoped.dataHome() / "App/Sonarill.driver";
    const std::string big(200000, 'x'); // longer than one read chunk
    for (const auto& [at, bundle] :
         {std::pair{installed, row.at("installed")}, std::pair{source, row.at("source")}}) {
        knownKeysOnly(bundle, {"executable", "format", "plist"});
        const auto missing = [&bundle = bundle](const char* key) {
            return bundle.contains(key) && bundle[key].is_null();
        };
        const std::string executable = !bundle.contains("executable") ? big
                                       : missing("executable")        ? ""
                                                               : textOf(bundle["executable"]);
        const auto format = bundle.value("format", "xml") == "binary" ? sim::PlistFormat::binary
                                                                      : sim::PlistFormat::xml;
        ASSERT_TRUE(sim::writeDriverBundle(at, {kId, true, executable}, format));
        if (missing("executable"))
            fs::remove(at / "Contents/MacOS/libtidewell.dylib");
        if (missing("plist"))
            fs::remove(at / "Contents/Info.plist");
        else if (bundle.contains("plist"))
            writeBytes(at / "Contents/Info.plist", textOf(bundle["plist"]));
    }
    const PluginLifecycleManager manager(PluginInstallerEnvironment{nullptr, "", {}, {}});
    const LogCapture log;
    const json& match = row.at("match");
    EXPECT_EQ(manager.installedBundleMatches(installed, source), match == true);
    EXPECT_EQ(log.messages(), match.is_null() ? Lines{} : Lines{kMatch + match.dump()});
}

INSTANTIATE_TEST_SUITE_P(InstallBundleMatch, InstallBundleMatch,
                         ValuesIn(readRows(SONARILL_TABLES "/bundle-match.json")), rowName);

// One launch's install, as each row of tests/scenarios/installer/runs.json says: the command it
// runs, how long it waits for the device, what it logs, and what a second call in the same run
// says; a failed or cancelled command leaves the session unhandled, so the next call tries again.
class InstallerRuns : public Installer, public WithParamInterface<DataRow> {};

TEST_P(InstallerRuns, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(
        row, {"name", "why", "plugin", "carried", "placed", "folderIsAFile", "shell", "calls"});
    const json& changes = row.value("carried", json::object());
    knownKeysOnly(changes, {"identifier", "routeConfig", "executable"});
    sim::DriverBundle carried = sim::carriedDriverBundle();
    carried.bundleIdentifier = changes.value("identifier", carried.bundleIdentifier);
    carried.supportsRouteConfig = changes.value("routeConfig", carried.supportsRouteConfig);
    carried.executable = changes.value("executable", carried.executable);
    start(worldFromJSON(json{{"plugin", row.at("plugin")}}.dump()).plugin, carried);
    if (row.value("placed", false)) {
        ASSERT_TRUE(sim::writeDriverBundle(installed(), carried)); // not loaded yet
    }
    const fs::path neighbour = sim::halPluginFolder() / "Other.driver/Contents/Info.plist";
    const bool folderIsAFile = row.value("folderIsAFile", false);
    if (folderIsAFile) {
        writeBytes(sim::halPluginFolder(), "a file where the plug-in folder belongs");
    } else {
        if (fs::exists(installed()))
            writeBytes(installed() / "Contents/Resources/stale.txt", "left over");
        writeBytes(neighbour, "neighbour");
    }
    if (const json* answer = row.contains("shell") ? &row["shell"] : nullptr) {
        knownKeysOnly(*answer, {"outcome", "output"});
        const std::map<std::string, Outcome> outcomes = {{"failed", Outcome::Failed},
                                                         {"notCreated", Outcome::NotCreated}};
        shell = std::make_shared<RecordingShell>(
            platform::PrivilegedShellResult{outcomes.at(answer->at("outcome").get<std::string>()),
                                            answer->at("output").get<std::string>()});
    }
    PluginLifecycleManager installer = manager();
    const std::string script = privilegedShellScript(
        installCommand(sim::halPluginFolder().string(), installed().string(), source.string()));
    for (const json& call : row.at("calls")) {
        knownKeysOnly(call, {"returns", "log", "waitedMs", "scripts", "handled", "replaced"});
        LogCapture log;
        EXPECT_EQ(installer.installForSession(), call.at("returns").get<bool>());
        EXPECT_TRUE(linesAre(log.messages(), call.at("log"), {{"source", source.string()}}));
        EXPECT_EQ(elapsed.count(), call.at("waitedMs").get<int>());
        EXPECT_EQ(shell->scripts, Lines(call.at("scripts").get<size_t>(), script));
        EXPECT_EQ(installer.installedThisSession(), call.at("handled").get<bool>());
        if (call.contains("replaced")) {
            EXPECT_EQ(treeOf(installed()) == treeOf(source), call["replaced"].get<bool>())
                << "replaced, not merged or nested; or else left alone";
        }
    }
    if (!folderIsAFile) {
        EXPECT_EQ(readBytes(neighbour), "neighbour");
    }
}

INSTANTIATE_TEST_SUITE_P(InstallerRuns, InstallerRuns,
                         ValuesIn(readRows(SONARILL_TABLES "/runs.json")), rowName);

TEST_F(Installer, SourceIsTheFirstExistingRealBundleOutsideTheInstalledOne) {
    start({.installed = true});
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
    start({.installed = false});
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
