// The real executable from launch to quit on a simulated audio system of its own, as a user or
// the system would end it, and the guard that gives the outputs back when it is killed; and
// launched on homes where files are not what they seem.
#include "support/DataRows.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace sonarill::testing;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kLaunched = "applicationDidFinishLaunching complete";
const std::string kOutputsState = "Library/Application Support/Sonarill/outputs.state";
// A bound, not a figure: a hostile file's launch takes 35 s in the sanitized build, and more on a
// loaded machine.
constexpr auto kLaunchTimeout = 120s;
constexpr auto kQuitTimeout = 30s;

// Starts the application, its standard output into `output`, or into a pipe whose reader has gone
// when `closedOutput`; -1 when it cannot start.
pid_t spawnApp(const std::filesystem::path& output, bool closedOutput = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeEnds[2] = {-1, -1};
    if (closedOutput && ::pipe(pipeEnds) == 0) {
        ::close(pipeEnds[0]);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::string program = SONARILL_APP_PATH;
    char* arguments[] = {program.data(), nullptr};
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[1] >= 0)
        ::close(pipeEnds[1]);
    if (error)
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(error);
    return error ? -1 : pid;
}

// One run of the application with its own home, data folder and world.
class AppRun {
public:
    // `folder`: the home, data folder and world of an earlier run to launch again on; fresh ones
    // when null. `prepare` makes the home's files first; `closedOutput`: standard output is a pipe
    // whose reader has gone.
    explicit AppRun(const std::string& world, std::shared_ptr<ScratchFolder> folder = nullptr,
                    const std::function<void(const std::filesystem::path&)>& prepare = {},
                    bool closedOutput = false)
        : folder_(folder ? std::move(folder) : std::make_shared<ScratchFolder>("sonarill-launch")) {
        const std::filesystem::path at = folder_->path();
        std::filesystem::create_directories(at / "data");
        std::filesystem::create_directories(at / "runtime");
        std::filesystem::permissions(at / "runtime", std::filesystem::perms::owner_all);
        writeBytes(at / "world.json", world);
        writeBytes(logPath(), "[00:00:00.000] [Old:1] an earlier run\n"); // launch empties it
        if (prepare)
            prepare(home());
        // This program's own environment, which the application inherits; nothing here reads it.
        setenv("HOME", home().c_str(), 1);
        setenv("XDG_DATA_HOME", (at / "data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (at / "runtime").c_str(), 1);
        setenv("SONARILL_SIM_WORLD", (at / "world.json").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        pid_ = spawnApp(at / "stdout.txt", closedOutput);
        startedPid_ = pid_;
        startedAt_ = Clock::now();
    }

    ~AppRun() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            ADD_FAILURE() << "the application had to be killed; it wrote:\n" << standardOutput();
        }
    }
    AppRun(const AppRun&) = delete;
    AppRun& operator=(const AppRun&) = delete;

    pid_t pid() const { return startedPid_; }
    Clock::time_point startedAt() const { return startedAt_; }
    std::filesystem::path folder() const { return folder_->path(); }
    std::filesystem::path home() const { return folder_->path() / "home"; }
    std::filesystem::path logPath() const { return home() / "Library" / "Logs" / "Sonarill.log"; }
    std::string standardOutput() const { return readBytes(folder_->path() / "stdout.txt"); }
    void signal(int number) const { ::kill(pid_, number); }

    // The log's messages, without their "[time] [File:line] " prefix.
    Lines messages() const {
        std::istringstream file(readBytes(logPath()));
        Lines messages;
        for (std::string text; std::getline(file, text);) {
            const size_t second = text.find("] ", text.find("] ") + 2);
            messages.push_back(second == std::string::npos ? text : text.substr(second + 2));
        }
        return messages;
    }
    // Whether a message is `line`, as lineMatches reads it.
    bool has(const nlohmann::json& line) const {
        return std::ranges::any_of(messages(),
                                   [&](const std::string& m) { return lineMatches(m, line); });
    }

    bool waitForMessage(const std::string& message, Clock::duration timeout) const {
        if (eventually([&] { return has(message); }, timeout))
            return true;
        ADD_FAILURE() << "no \"" << message << "\"; the application wrote:\n" << standardOutput();
        return false;
    }

    // The exit status, or nothing when it has not ended in time.
    std::optional<int> waitForExit(Clock::duration timeout) {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout))
            return std::nullopt;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // What every program on the simulated machine sees: its defaults and buffer frame sizes.
    nlohmann::json sharedSystem() const {
        nlohmann::json system;
        eventually( // caught in the middle of a write, it does not parse
            [&] {
                system = nlohmann::json::parse(
                    readBytes(folder_->path() / "data" / "sonarill-sim" / "system.json"), nullptr,
                    false);
                return !system.is_discarded();
            },
            100ms);
        return system.is_discarded() ? nlohmann::json::object() : system;
    }

private:
    std::shared_ptr<ScratchFolder> folder_;
    pid_t pid_ = -1; // until it is reaped
    pid_t startedPid_ = -1;
    Clock::time_point startedAt_;
};

// Each line of `expected` appears in `messages`, in this order.
::testing::AssertionResult inOrder(const Lines& messages, const json& expected,
                                   const std::map<std::string, std::string>& names) {
    auto at = messages.begin();
    for (const json& line : expected) {
        at = std::find_if(at, messages.end(), [&](const std::string& message) {
            return lineMatches(message, line, names);
        });
        if (at == messages.end())
            return ::testing::AssertionFailure() << "missing or out of order: " << line.dump()
                                                 << " in " << ::testing::PrintToString(messages);
        ++at;
    }
    return ::testing::AssertionSuccess();
}

// The guard started last.
pid_t guardPid(const AppRun& app) {
    pid_t pid = -1;
    for (const std::string& message : app.messages()) {
        const size_t at = message.find(" (pid=");
        if (message.rfind("startGuard: started ", 0) == 0 && at != std::string::npos)
            pid = static_cast<pid_t>(std::stol(message.substr(at + 6)));
    }
    return pid;
}

// Never to -1, which would reach every process the user has.
void signalGuard(pid_t guard, int signal) {
    if (guard > 0)
        ::kill(guard, signal);
    else
        ADD_FAILURE() << "no guard was started";
}

// Running, that is: a guard orphaned by a kill may stay a zombie until something reaps it.
bool processExists(pid_t pid) {
    std::istringstream stat(pid > 0 ? readBytes("/proc/" + std::to_string(pid) + "/stat") : "");
    std::string text;
    std::getline(stat, text);
    const size_t name = text.rfind(')');
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] != 'Z';
}

// A second instance on the first one's home and system: it must say so in `line` and leave at
// once with status 0, the log, the configuration and the simulated system untouched.
void startSecondInstance(const AppRun& first, const json& line) {
    const std::filesystem::path at = first.folder();
    const auto untouched = [&] {
        return std::vector{
            readBytes(first.logPath()),
            readBytes(first.home() / "Library/Application Support/Sonarill/config.yaml"),
            readBytes(at / "data" / "sonarill-sim" / "system.json")};
    };
    const auto before = untouched();
    const pid_t pid = spawnApp(at / "second.txt");
    ASSERT_GT(pid, 0);
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "the second instance ran on";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string output = readBytes(at / "second.txt");
    EXPECT_TRUE(lineMatches(output, line.get<std::string>() + "\n")) << output;
    EXPECT_EQ(untouched(), before);
}

// What happens between the launch and the signal, in order: "killGuard" (the guard is killed),
// {"waitFor": line} (the log has it), {"sleepUntil": seconds after the start},
// {"secondInstance": the line it prints}.
void runSteps(AppRun& app, const json& steps) {
    for (const json& step : steps) {
        if (step == "killGuard") {
            signalGuard(guardPid(app), SIGKILL);
        } else if (step.contains("waitFor")) {
            EXPECT_TRUE(eventually([&] { return app.has(step["waitFor"]); }, kLaunchTimeout))
                << step.dump();
        } else if (step.contains("sleepUntil")) {
            std::this_thread::sleep_until(
                app.startedAt() +
                std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(step["sleepUntil"].get<double>())));
        } else if (step.contains("secondInstance")) {
            startSecondInstance(app, step["secondInstance"]);
        } else {
            ADD_FAILURE() << "unknown step " << step.dump();
        }
    }
}

// Runs from launch to an ending, as each row of tests/scenarios/launch/endings.json says, each run
// on the home, data folder and world the one before left. The signal goes twice, as an impatient
// user or a service manager might send it: one quit, at once; or killed, and the guard gives back
// what the application held before it leaves.
class LaunchEndings : public ::testing::TestWithParam<DataRow> {};

TEST_P(LaunchEndings, Row) {
    ASSERT_EQ(GetParam().problem, "");
    knownKeysOnly(GetParam().value, {"name", "why", "runs"});
    const auto folder = std::make_shared<ScratchFolder>("sonarill-launch");
    for (const json& run : GetParam().value.at("runs")) {
        knownKeysOnly(run,
                      {"world", "worldPatch", "killGuard", "steps", "signal", "quitWithin",
                       "exitStatus", "after", "first", "inOrder", "counts", "never", "stateFile"});
        json world = json::parse(
            readBytes(std::filesystem::path(SONARILL_TABLES) / run.at("world").get<std::string>()));
        world.merge_patch(run.value("worldPatch", json::object()));
        AppRun app(world.dump(), folder);
        ASSERT_TRUE(app.waitForMessage(kLaunched, kLaunchTimeout));
        EXPECT_TRUE(processExists(guardPid(app)));
        runSteps(app, memberOrNull(run, "steps"));
        const pid_t guard = guardPid(app);
        // Stopped, it cannot be seen to end, so the application cannot start it again.
        const bool killGuard = run.value("killGuard", false);
        if (killGuard)
            signalGuard(guard, SIGSTOP);
        const std::map<std::string, int> signals = {
            {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGKILL", SIGKILL}};
        app.signal(signals.at(run.at("signal").get<std::string>()));
        app.signal(signals.at(run.at("signal").get<std::string>()));
        const auto quitWithin = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(run.value("quitWithin", 30.0)));
        EXPECT_EQ(app.waitForExit(quitWithin), run.at("exitStatus").get<int>());
        if (killGuard)
            signalGuard(guard, SIGKILL);
        // A killed one's guard gives them back.
        const json after = run.at("after").flatten();
        const auto givenBack = [&] {
            const json system = app.sharedSystem();
            return std::ranges::all_of(after.items(), [&](const auto& item) {
                const json::json_pointer at(item.key());
                return system.contains(at) && system[at] == item.value();
            });
        };
        EXPECT_TRUE(eventually(givenBack, kQuitTimeout)) << app.sharedSystem().dump();

        // Read once the guard left: a killed one's last lines follow the outputs it gave back.
        EXPECT_TRUE(eventually([&] { return !processExists(guard); }, 5s)) << "the guard left";
        const Lines messages = app.messages();
        const std::map<std::string, std::string> names = {{"pid", std::to_string(app.pid())}};
        if (run.contains("first")) {
            ASSERT_FALSE(messages.empty());
            EXPECT_TRUE(lineMatches(messages.front(), run["first"], names)) << messages.front();
        }
        for (const json& lines : memberOrNull(run, "inOrder"))
            EXPECT_TRUE(inOrder(messages, lines, names));
        for (const auto& [line, count] : memberOrNull(run, "counts").items())
            EXPECT_EQ(std::ranges::count(messages, line), count.get<int>()) << line;
        for (const json& line : memberOrNull(run, "never"))
            EXPECT_FALSE(app.has(line)) << line;
        EXPECT_EQ(std::filesystem::exists(app.home() / kOutputsState),
                  run.at("stateFile").get<bool>());
    }
}

INSTANTIATE_TEST_SUITE_P(LaunchEndings, LaunchEndings,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/endings.json")), rowName);

const fs::path kConfigFolder = "Library/Application Support/Sonarill";

// A text, {"fifo": true}, {"folder": true} or {"link": target}, made at `path`.
void plant(const fs::path& path, const json& what) {
    fs::create_directories(path.parent_path());
    if (what.is_object() && what.contains("fifo"))
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
    else if (what.is_object() && what.contains("folder"))
        fs::create_directories(path / "inside");
    else if (what.is_object() && what.contains("link"))
        fs::create_symlink(what["link"].get<std::string>(), path);
    else
        writeBytes(path, textOf(what));
}

// What `path` is now, in plant's terms; a text as {"contains": part} or {"sameAs": planted name}.
::testing::AssertionResult holds(const fs::path& path, const json& what, const json& planted) {
    const fs::file_status status = fs::symlink_status(path);
    const auto failure = [&] { return ::testing::AssertionFailure() << path << ": " << what; };
    if (what.is_null())
        return fs::exists(status) ? failure() : ::testing::AssertionSuccess();
    if (what.contains("link"))
        return fs::is_symlink(status) && fs::read_symlink(path) == what["link"].get<std::string>()
                   ? ::testing::AssertionSuccess()
                   : failure();
    if (what.contains("fifo") || what.contains("folder"))
        return (what.contains("fifo") ? fs::is_fifo(status) : fs::is_directory(status))
                   ? ::testing::AssertionSuccess()
                   : failure();
    if (!fs::is_regular_file(status))
        return failure() << " is no file";
    const std::string bytes = readBytes(path);
    if (what.contains("sameAs"))
        return bytes == textOf(planted.at(what["sameAs"].get<std::string>()))
                   ? ::testing::AssertionSuccess()
                   : failure() << " differs";
    return bytes.find(what.at("contains").get<std::string>()) != std::string::npos
               ? ::testing::AssertionSuccess()
               : failure() << " holds " << bytes.substr(0, 400);
}

// Each row of tests/scenarios/launch/hostile-files.json: files planted in the home, then a launch
// that must finish and quit in order, with the lines and the files the row says.
class HostileFiles : public ::testing::TestWithParam<DataRow> {};

TEST_P(HostileFiles, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "plant", "closedOutput", "logged", "after"});
    AppRun app(
        readBytes(fs::path(SONARILL_TABLES) / "speakers-and-headset.json"), nullptr,
        [&row](const fs::path& home) {
            for (const auto& [name, what] : row.at("plant").items())
                plant(home / name, what);
        },
        row.value("closedOutput", false));
    // A launch stuck on a file never gets there: bounded, then killed.
    ASSERT_TRUE(app.waitForMessage(kLaunched, kLaunchTimeout));
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitForExit(kQuitTimeout), 0);
    const std::map<std::string, std::string> names = {
        {"config", (app.home() / kConfigFolder / "config.yaml").string()}};
    EXPECT_TRUE(inOrder(app.messages(), memberOrNull(row, "logged"), names));
    for (const auto& [name, what] : memberOrNull(row, "after").items())
        EXPECT_TRUE(holds(app.home() / name, what, row["plant"]));
}

INSTANTIATE_TEST_SUITE_P(HostileFiles, HostileFiles,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/hostile-files.json")),
                         rowName);

} // namespace
