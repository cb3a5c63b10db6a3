// The real executable from launch to quit on a simulated audio system of its own, as a user or
// the system would end it, and the guard that gives the outputs back when it is killed.
#include "support/DataRows.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace sonarill::testing;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using nlohmann::json;

const std::string kLaunched = "applicationDidFinishLaunching complete";
const std::string kOutputsState = "Library/Application Support/Sonarill/outputs.state";
constexpr auto kLaunchTimeout = 60s;
constexpr auto kQuitTimeout = 30s;

// One run of the application with its own home, data folder and world.
class AppRun {
public:
    // `folder`: the home, data folder and world of an earlier run to launch again on; fresh ones
    // when null.
    explicit AppRun(const std::string& world, std::shared_ptr<ScratchFolder> folder = nullptr)
        : folder_(folder ? std::move(folder) : std::make_shared<ScratchFolder>("sonarill-launch")) {
        const std::filesystem::path at = folder_->path();
        std::filesystem::create_directories(at / "data");
        std::filesystem::create_directories(at / "runtime");
        std::filesystem::permissions(at / "runtime", std::filesystem::perms::owner_all);
        writeBytes(at / "world.json", world);
        writeBytes(logPath(), "[00:00:00.000] [Old:1] an earlier run\n"); // launch empties it
        // This program's own environment, which the application inherits; nothing here reads it.
        setenv("HOME", home().c_str(), 1);
        setenv("XDG_DATA_HOME", (at / "data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (at / "runtime").c_str(), 1);
        setenv("SONARILL_SIM_WORLD", (at / "world.json").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string output = (at / "stdout.txt").string();
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string program = SONARILL_APP_PATH;
        char* arguments[] = {program.data(), nullptr};
        if (const int error =
                posix_spawn(&pid_, program.c_str(), &actions, nullptr, arguments, environ)) {
            ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(error);
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        startedPid_ = pid_;
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
    bool has(const std::string& message) const {
        return std::ranges::count(messages(), message) != 0;
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

pid_t guardPid(const AppRun& app) {
    for (const std::string& message : app.messages()) {
        const size_t at = message.find(" (pid=");
        if (message.rfind("startGuard: started ", 0) == 0 && at != std::string::npos)
            return static_cast<pid_t>(std::stol(message.substr(at + 6)));
    }
    return -1;
}

// Running, that is: a guard orphaned by a kill may stay a zombie until something reaps it.
bool processExists(pid_t pid) {
    std::istringstream stat(pid > 0 ? readBytes("/proc/" + std::to_string(pid) + "/stat") : "");
    std::string text;
    std::getline(stat, text);
    const size_t name = text.rfind(')');
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] != 'Z';
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
        knownKeysOnly(run, {"world", "worldPatch", "killGuard", "signal", "exitStatus", "after",
                            "first", "inOrder", "counts", "never", "stateFile"});
        json world = json::parse(
            readBytes(std::filesystem::path(SONARILL_TABLES) / run.at("world").get<std::string>()));
        world.merge_patch(run.value("worldPatch", json::object()));
        AppRun app(world.dump(), folder);
        ASSERT_TRUE(app.waitForMessage(kLaunched, kLaunchTimeout));
        const pid_t guard = guardPid(app);
        EXPECT_TRUE(processExists(guard));
        if (run.value("killGuard", false))
            ::kill(guard, SIGKILL);
        const std::map<std::string, int> signals = {
            {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGKILL", SIGKILL}};
        app.signal(signals.at(run.at("signal").get<std::string>()));
        app.signal(signals.at(run.at("signal").get<std::string>()));
        // Waited for before the application is reaped: a killed one's guard gives them back.
        const json after = run.at("after").flatten();
        const auto givenBack = [&] {
            const json system = app.sharedSystem();
            return std::ranges::all_of(after.items(), [&](const auto& item) {
                const json::json_pointer at(item.key());
                return system.contains(at) && system[at] == item.value();
            });
        };
        EXPECT_TRUE(eventually(givenBack, kQuitTimeout)) << app.sharedSystem().dump();
        EXPECT_EQ(app.waitForExit(kQuitTimeout), run.at("exitStatus").get<int>());

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
        for (const json& line : memberOrNull(run, "never")) {
            EXPECT_TRUE(std::ranges::none_of(messages, [&](const std::string& message) {
                return lineMatches(message, line);
            })) << line;
        }
        EXPECT_EQ(std::filesystem::exists(app.home() / kOutputsState),
                  run.at("stateFile").get<bool>());
    }
}

INSTANTIATE_TEST_SUITE_P(LaunchEndings, LaunchEndings,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/endings.json")), rowName);

} // namespace
