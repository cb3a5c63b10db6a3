// The real executable from launch to quit on a simulated audio system of its own, as a user or
// the system would end it, and the guard that gives the outputs back when it is killed.
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kRule(40, '=');
const std::string kLaunched = "applicationDidFinishLaunching complete";
const std::string kQuitting = "applicationWillTerminate — cleaning up";
const std::string kEnded = "guard: the application ended without quitting; giving its changes back";
const std::string kOutputsState = "Library/Application Support/Sonarill/outputs.state";
constexpr auto kLaunchTimeout = 60s;
constexpr auto kQuitTimeout = 30s;

// The world's devices: speakers (the default output at start, playing in periods of 1024
// frames, which forwarding changes to 512) and a headset, and one application playing a tone.
// `extra` adds members to the world object.
std::string worldJSON(bool pluginInstalled, const std::string& extra = "") {
    return R"({"devices": [
        {"id": 41, "uid": "BuiltInSpeakerDevice", "name": "Speakers", "transport": "bltn",
         "outputChannels": 2, "bufferFrameSize": 1024},
        {"id": 42, "uid": "Headset", "name": "Headset", "transport": "usb ", "outputChannels": 2}],
    "defaultOutput": "BuiltInSpeakerDevice",
    "apps": [{"bundleId": "com.apple.Music", "name": "Music", "toneHz": 440}],
    "plugin": {"installed": )" +
           std::string(pluginInstalled ? "true" : "false") + R"(, "loadDelay": 0.5})" + extra + "}";
}

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

// Each message of `expected` appears in `messages`, in this order.
::testing::AssertionResult inOrder(const Lines& messages, const Lines& expected) {
    auto at = messages.begin();
    for (const std::string& message : expected) {
        at = std::find(at, messages.end(), message);
        if (at == messages.end())
            return ::testing::AssertionFailure() << "missing or out of order: \"" << message
                                                 << "\" in " << ::testing::PrintToString(messages);
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

bool outputsAre(const nlohmann::json& system, const std::string& output,
                const std::string& systemOutput) {
    return system.value("defaultOutput", "") == output &&
           system.value("defaultSystemOutput", "") == systemOutput;
}

int speakersFrameSize(const nlohmann::json& system) {
    return system.value("bufferFrameSizes", nlohmann::json::object())
        .value("BuiltInSpeakerDevice", 0);
}

// Runs from launch to a quit by `signal`, sent twice as an impatient user or a service manager
// might: one quit, at once, with status 0, and the guard goes with the application; or killed,
// and the guard gives back what the application held before it leaves.
TEST(Launch, QuitsOnASignalInOrderOnceGivingBackWhatTheVirtualDeviceHolds) {
    const std::string S = "BuiltInSpeakerDevice", V = "Sonarill_OutputDevice";
    const std::string blockedRead = R"(, "faults": [{"call": "AudioObjectGetPropertyData", )";
    const std::string dOutHung = blockedRead + R"("selector": "dOut", "blockMs": 2500}])";
    const std::string ready = "PluginLifecycle: ready=true",
                      noOutput = "currentDefaultOutputUID: timed out or returned nil",
                      restoring = "Restoring default output to: BuiltInSpeakerDevice",
                      restored = "Default output restored to deviceID=41";
    const Lines launch = {"Original default output: BuiltInSpeakerDevice", ready,
                          "=== AudioRoutingViewModel init ===",
                          "setSonarillAsDefault: verification — default output is now: " + V};
    const Lines unanswered = {
        noOutput, "Original default output: nil",       ready,
        noOutput, "Original default output retry: nil", "=== AudioRoutingViewModel init ==="};
    const Lines fullRestore = {"stop: all forwarding pipelines stopped", restoring, restored};
    const Lines notRead = {noOutput, "Default output not Sonarill (nil), no restore needed"};
    const Lines guardRestores = {
        "guard: default output restored to BuiltInSpeakerDevice (deviceID=41)",
        "guard: default system output restored to BuiltInSpeakerDevice (deviceID=41)",
        "guard: restored buffer frame size for uid=BuiltInSpeakerDevice to 1024"};
    struct Case {
        const char* name;
        int signal;
        bool pluginInstalled;
        std::string extra;                // members of the world
        Lines launchLines, quitLines;     // in this order among the others
        std::string output, systemOutput; // the defaults after the quit
        bool stateFileKept;               // for the next launch, as the restore failed
    };
    const Case cases[] = {
        {"SIGTERM, installing the plug-in", SIGTERM, false, "", launch, fullRestore, S, S, false},
        {"SIGINT", SIGINT, true, "", {ready}, {restored}, S, S, false},
        // Reading the default output takes 2.5 s, longer than the application waits: launch
        // and quit are late by the time-outs only.
        {"server does not answer", SIGTERM, true, dOutHung, unanswered, notRead, V, V, true},
        {"killed: the guard gives back", SIGKILL, true, "", launch, guardRestores, S, S, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppRun app(worldJSON(c.pluginInstalled, c.extra));
        ASSERT_TRUE(app.waitForMessage(kLaunched, kLaunchTimeout));
        const pid_t guard = guardPid(app);
        EXPECT_TRUE(processExists(guard));
        app.signal(c.signal);
        app.signal(c.signal);
        // Waited for before the application is reaped: a killed one's guard gives them back.
        const auto givenBack = [&] {
            const nlohmann::json system = app.sharedSystem();
            return outputsAre(system, c.output, c.systemOutput) &&
                   speakersFrameSize(system) == 1024;
        };
        EXPECT_TRUE(eventually(givenBack, kQuitTimeout)) << app.sharedSystem().dump();
        const bool killed = c.signal == SIGKILL;
        EXPECT_EQ(app.waitForExit(kQuitTimeout), killed ? 128 + SIGKILL : 0);

        // Read once the guard left: a killed one's last lines follow the outputs it gave back.
        EXPECT_TRUE(eventually([&] { return !processExists(guard); }, 5s)) << "the guard left";
        const Lines messages = app.messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), kRule) << "the log starts afresh";
        EXPECT_TRUE(inOrder(
            messages,
            {kRule, "Sonarill starting up (pid=" + std::to_string(app.pid()) + ")", kRule}));
        EXPECT_TRUE(inOrder(messages, c.launchLines));
        const std::string signal = c.signal == SIGTERM ? "SIGTERM" : "SIGINT";
        Lines quit = {kLaunched, signal + " received — terminating app", kQuitting};
        if (killed)
            quit = {kLaunched, kEnded};
        quit.insert(quit.end(), c.quitLines.begin(), c.quitLines.end());
        quit.push_back(killed ? "guard: done" : "cleanup complete");
        EXPECT_TRUE(inOrder(messages, quit));
        EXPECT_EQ(std::ranges::count(messages, kQuitting), killed ? 0 : 1);
        EXPECT_EQ(std::ranges::count(messages, "cleanup complete"), killed ? 0 : 1);
        EXPECT_EQ(std::ranges::count(messages, kEnded), killed ? 1 : 0);
        if (c.output == c.systemOutput) { // nothing left to do for the alert sounds
            EXPECT_THAT(messages, Not(Contains(HasSubstr("system output to"))));
        }
        EXPECT_EQ(std::filesystem::exists(app.home() / kOutputsState), c.stateFileKept);
    }
}

TEST(Guard, AfterBothDiedTheNextLaunchTakesTheOriginalFromTheStateFile) {
    auto folder = std::make_shared<ScratchFolder>("sonarill-launch");
    {
        AppRun first(worldJSON(true), folder);
        ASSERT_TRUE(first.waitForMessage(kLaunched, kLaunchTimeout));
        ASSERT_TRUE(std::filesystem::exists(first.home() / kOutputsState));
        ::kill(guardPid(first), SIGKILL);
        first.signal(SIGKILL);
        EXPECT_EQ(first.waitForExit(kQuitTimeout), 128 + SIGKILL);
        ASSERT_TRUE(
            outputsAre(first.sharedSystem(), "Sonarill_OutputDevice", "Sonarill_OutputDevice"))
            << "nothing gave the output back";
    }
    // The machine as the dead run left it.
    AppRun second(worldJSON(true, R"(, "keepSystemState": true)"), folder);
    ASSERT_TRUE(second.waitForMessage(kLaunched, kLaunchTimeout));
    EXPECT_TRUE(second.has("Original default output (kept from an earlier run): "
                           "BuiltInSpeakerDevice"));
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitForExit(kQuitTimeout), 0);
    EXPECT_TRUE(
        inOrder(second.messages(), {"Restoring default output to: BuiltInSpeakerDevice",
                                    "Default output restored to deviceID=41", "cleanup complete"}));
    EXPECT_TRUE(outputsAre(second.sharedSystem(), "BuiltInSpeakerDevice", "BuiltInSpeakerDevice"));
}

} // namespace
