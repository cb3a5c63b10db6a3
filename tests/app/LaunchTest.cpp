// The real executable from launch to quit on a simulated audio system of its own, as a user or
// the system would end it.
#include "support/Scratch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sonarill::testing::ScratchFolder;
using ::testing::Contains;
using ::testing::IsSupersetOf;

const std::string kRule(40, '=');

// The world's devices: speakers (the default output at start) and a headset, and one
// application playing a tone. `extra` adds members to the world object.
std::string worldJSON(bool pluginInstalled, const std::string& extra = "") {
    return R"({
    "devices": [
        {"id": 41, "uid": "BuiltInSpeakerDevice", "name": "Speakers", "transport": "bltn",
         "outputChannels": 2},
        {"id": 42, "uid": "Headset", "name": "Headset", "transport": "usb ",
         "outputChannels": 2}
    ],
    "defaultOutput": "BuiltInSpeakerDevice",
    "apps": [{"bundleId": "com.apple.Music", "name": "Music", "toneHz": 440}],
    "plugin": {"installed": )" +
           std::string(pluginInstalled ? "true" : "false") + R"(, "loadDelay": 0.5})" + extra + "}";
}

struct LogLine {
    double seconds = 0; // of the day
    std::string message;
};

// One run of the application with its own home, data folder and world.
class AppRun {
public:
    // `folder`: the home, data folder and world of an earlier run to launch again on; fresh ones
    // when null.
    explicit AppRun(const std::string& world, std::shared_ptr<ScratchFolder> folder = nullptr)
        : folder_(folder ? std::move(folder) : std::make_shared<ScratchFolder>("sonarill-launch")) {
        std::filesystem::create_directories(home() / "Library" / "Logs");
        std::filesystem::create_directories(folder_->path() / "data");
        std::filesystem::create_directories(folder_->path() / "runtime");
        std::filesystem::permissions(folder_->path() / "runtime",
                                     std::filesystem::perms::owner_all);
        std::ofstream(folder_->path() / "world.json") << world;
        // A log left by an earlier run: launch empties it.
        std::ofstream(logPath()) << "[00:00:00.000] [Old:1] an earlier run\n";

        std::vector<std::string> environment = {
            "HOME=" + home().string(),
            "XDG_DATA_HOME=" + (folder_->path() / "data").string(),
            "XDG_RUNTIME_DIR=" + (folder_->path() / "runtime").string(),
            "SONARILL_SIM_WORLD=" + (folder_->path() / "world.json").string(),
            "QT_QPA_PLATFORM=offscreen",
        };
        for (char** variable = environ; *variable != nullptr; ++variable) {
            const std::string entry(*variable);
            const std::string name = entry.substr(0, entry.find('='));
            if (name != "HOME" && name != "XDG_DATA_HOME" && name != "XDG_RUNTIME_DIR" &&
                name != "SONARILL_SIM_WORLD" && name != "QT_QPA_PLATFORM")
                environment.push_back(entry);
        }
        std::vector<char*> environmentPointers;
        for (std::string& entry : environment)
            environmentPointers.push_back(entry.data());
        environmentPointers.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string output = (folder_->path() / "stdout.txt").string();
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string program = SONARILL_APP_PATH;
        char* arguments[] = {program.data(), nullptr};
        started_ = Clock::now();
        const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, arguments,
                                      environmentPointers.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(error);
            pid_ = -1;
        }
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
    Clock::duration sinceStart() const { return Clock::now() - started_; }

    std::vector<LogLine> lines() const {
        std::ifstream file(logPath());
        std::vector<LogLine> lines;
        for (std::string text; std::getline(file, text);) {
            LogLine line;
            int hours = 0, minutes = 0;
            double seconds = 0;
            char colon1 = 0, colon2 = 0;
            std::istringstream time(text.substr(1, 12));
            time.imbue(std::locale::classic());
            time >> hours >> colon1 >> minutes >> colon2 >> seconds;
            line.seconds = hours * 3600.0 + minutes * 60.0 + seconds;
            const size_t second = text.find("] ", text.find("] ") + 2);
            line.message = second == std::string::npos ? text : text.substr(second + 2);
            lines.push_back(line);
        }
        return lines;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> messages;
        for (const LogLine& line : lines())
            messages.push_back(line.message);
        return messages;
    }
    std::optional<LogLine> line(const std::string& message) const {
        for (const LogLine& candidate : lines())
            if (candidate.message == message)
                return candidate;
        return std::nullopt;
    }

    bool waitForMessage(const std::string& message, Clock::duration timeout) const {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (line(message))
                return true;
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "no \"" << message << "\"; the application wrote:\n" << standardOutput();
        return false;
    }

    void signal(int number) const { ::kill(pid_, number); }

    // The exit status, or nothing when it has not ended in time.
    std::optional<int> waitForExit(Clock::duration timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                if (WIFEXITED(status))
                    return WEXITSTATUS(status);
                return 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    std::string standardOutput() const {
        std::ostringstream text;
        text << std::ifstream(folder_->path() / "stdout.txt").rdbuf();
        return text.str();
    }

    std::shared_ptr<ScratchFolder> folder() const { return folder_; }
    // What every program on the simulated machine sees: its defaults and buffer frame sizes.
    nlohmann::json sharedSystem() const {
        for (int attempt = 0; attempt < 50; ++attempt) {
            std::ifstream file(folder_->path() / "data" / "sonarill-sim" / "system.json");
            const nlohmann::json system = nlohmann::json::parse(file, nullptr, false);
            if (!system.is_discarded())
                return system;
            std::this_thread::sleep_for(2ms); // caught in the middle of a write
        }
        return {};
    }

private:
    std::shared_ptr<ScratchFolder> folder_;
    pid_t pid_ = -1; // until it is reaped
    pid_t startedPid_ = -1;
    Clock::time_point started_;
};

// Each message of `expected` appears in `messages`, in this order.
::testing::AssertionResult inOrder(const std::vector<std::string>& messages,
                                   const std::vector<std::string>& expected) {
    auto at = messages.begin();
    for (const std::string& message : expected) {
        at = std::find(at, messages.end(), message);
        if (at == messages.end()) {
            std::string all;
            for (const std::string& m : messages)
                all += "  " + m + "\n";
            return ::testing::AssertionFailure()
                   << "missing or out of order: \"" << message << "\" in\n"
                   << all;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

long countOf(const std::vector<std::string>& messages, const std::string& message) {
    return std::count(messages.begin(), messages.end(), message);
}

constexpr auto kLaunchTimeout = 60s;
constexpr auto kQuitTimeout = 30s;

// Sends SIGTERM; the application must end at once with status 0, having logged `expected`.
::testing::AssertionResult quitsLogging(AppRun& app, const std::vector<std::string>& expected) {
    app.signal(SIGTERM);
    const std::optional<int> status = app.waitForExit(kQuitTimeout);
    if (status != 0)
        return ::testing::AssertionFailure()
               << "exit status " << (status ? std::to_string(*status) : "none, still running");
    return inOrder(app.messages(), expected);
}

TEST(Launch, SignalQuitsInOrderOnceAndGivesTheDefaultOutputsBack) {
    const struct {
        int signal;
        const char* line;
        bool pluginInstalled;
    } cases[] = {
        {SIGTERM, "SIGTERM received — terminating app", false},
        {SIGINT, "SIGINT received — terminating app", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        AppRun app(worldJSON(c.pluginInstalled));
        ASSERT_TRUE(app.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
        // Twice, as an impatient user or a service manager might: one quit.
        app.signal(c.signal);
        app.signal(c.signal);
        EXPECT_EQ(app.waitForExit(kQuitTimeout), 0);

        const std::vector<std::string> messages = app.messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.front(), kRule) << "the log starts afresh";
        EXPECT_TRUE(inOrder(
            messages,
            {kRule, "Sonarill starting up (pid=" + std::to_string(app.pid()) + ")", kRule,
             "Original default output: BuiltInSpeakerDevice", "PluginLifecycle: ready=true",
             "=== AudioRoutingViewModel init ===",
             "setSonarillAsDefault: verification — default output is now: Sonarill_OutputDevice",
             "applicationDidFinishLaunching complete", c.line,
             "applicationWillTerminate — cleaning up", "stop: all forwarding pipelines stopped",
             "Restoring default output to: BuiltInSpeakerDevice",
             "Default output restored to deviceID=41", "cleanup complete"}));
        EXPECT_EQ(countOf(messages, "applicationWillTerminate — cleaning up"), 1);
        EXPECT_EQ(countOf(messages, "cleanup complete"), 1);
        // The default system output went back with the default output: nothing left to do.
        EXPECT_THAT(messages, ::testing::Not(Contains(::testing::HasSubstr("system output to"))));
    }
}

TEST(Launch, AlertSoundsGoBackWhenTheUserPickedAnotherOutputMeanwhile) {
    // The user picks the headset in the system settings once the application runs.
    AppRun app(worldJSON(true, R"(, "events": [{"at": 8, "setDefaultOutput": "Headset"}])"));
    ASSERT_TRUE(app.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
    ASSERT_LT(app.sinceStart(), 8s) << "launch ended after the user's change";
    std::this_thread::sleep_for(9s - app.sinceStart());
    EXPECT_TRUE(quitsLogging(app, {"applicationWillTerminate — cleaning up",
                                   "Default output not Sonarill (Headset), no restore needed",
                                   "Restoring default system output to: BuiltInSpeakerDevice",
                                   "cleanup complete"}));
}

TEST(Launch, AudioServerThatDoesNotAnswerDelaysLaunchByTheTimeOutsOnly) {
    // Reading the default output takes 2.5 s, longer than the application waits.
    AppRun app(worldJSON(true, R"(, "faults": [{"call": "AudioObjectGetPropertyData",
        "selector": "dOut", "blockMs": 2500}])"));
    ASSERT_TRUE(app.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
    const std::vector<std::string> messages = app.messages();
    EXPECT_TRUE(inOrder(messages, {"Sonarill starting up (pid=" + std::to_string(app.pid()) + ")",
                                   "currentDefaultOutputUID: timed out or returned nil",
                                   "Original default output: nil", "PluginLifecycle: ready=true",
                                   "currentDefaultOutputUID: timed out or returned nil",
                                   "Original default output retry: nil",
                                   "=== AudioRoutingViewModel init ==="}));
    // Both reads gave up (the lines above) instead of waiting out the 2.5 s; how long the two
    // waits took is a figure, not a pass mark, on a machine that may be busy.
    const auto banner = app.line("Sonarill starting up (pid=" + std::to_string(app.pid()) + ")");
    const auto retry = app.line("Original default output retry: nil");
    ASSERT_TRUE(banner && retry);
    std::cout << "[ figures  ] banner to retry line: " << retry->seconds - banner->seconds
              << " s\n";

    EXPECT_TRUE(quitsLogging(app, {"applicationWillTerminate — cleaning up",
                                   "currentDefaultOutputUID: timed out or returned nil",
                                   "Default output not Sonarill (nil), no restore needed",
                                   "cleanup complete"}));
}

TEST(Launch, QuitEndsWhileAQueryIsStillBlockedInTheAudioServer) {
    // The alert-sound output cannot be read for a minute: quit waits 2 s for it, then leaves
    // with the query still blocked.
    AppRun app(worldJSON(true, R"(, "faults": [{"call": "AudioObjectGetPropertyData",
        "selector": "sOut", "blockMs": 60000}])"));
    ASSERT_TRUE(app.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
    const auto signalled = Clock::now();
    EXPECT_TRUE(quitsLogging(app, {"Restoring default output to: BuiltInSpeakerDevice",
                                   "Default output restored to deviceID=41",
                                   "currentDefaultSystemOutputUID: timed out or returned nil",
                                   "cleanup complete"}));
    std::cout << "[ figures  ] signal to exit: "
              << std::chrono::duration<double>(Clock::now() - signalled).count() << " s\n";
}

// MARK: The guard

const std::string kOutputsState = "Library/Application Support/Sonarill/outputs.state";

std::string speakersAt1024() {
    // The speakers play in periods of 1024 frames, which forwarding changes to 512.
    std::string world = worldJSON(true);
    const std::string plain = R"("transport": "bltn",
         "outputChannels": 2})";
    world.replace(world.find(plain), plain.size(),
                  R"("transport": "bltn", "outputChannels": 2, "bufferFrameSize": 1024})");
    return world;
}

pid_t guardPid(const AppRun& app) {
    for (const std::string& message : app.messages()) {
        const size_t at = message.find(" (pid=");
        if (message.rfind("startGuard: started ", 0) == 0 && at != std::string::npos)
            return static_cast<pid_t>(std::stol(message.substr(at + 6)));
    }
    return -1;
}

// Running, that is: a guard orphaned by the kill may stay a zombie until something reaps it.
bool processExists(pid_t pid) {
    if (pid <= 0)
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t name = text.rfind(')');
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] != 'Z';
}

// Waits until `holds` is true of the shared system; how long it took, or nothing.
template <typename Predicate>
std::optional<Clock::duration> waitForSystem(const AppRun& app, Predicate holds,
                                             Clock::duration timeout) {
    const auto start = Clock::now();
    while (Clock::now() - start < timeout) {
        if (holds(app.sharedSystem()))
            return Clock::now() - start;
        std::this_thread::sleep_for(1ms);
    }
    return std::nullopt;
}

bool outputsAre(const nlohmann::json& system, const std::string& uid) {
    return system.value("defaultOutput", "") == uid &&
           system.value("defaultSystemOutput", "") == uid;
}

TEST(Guard, AKilledApplicationsOutputsAndBufferFrameSizeComeBack) {
    AppRun app(speakersAt1024());
    ASSERT_TRUE(app.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
    const nlohmann::json taken = app.sharedSystem();
    ASSERT_TRUE(outputsAre(taken, "Sonarill_OutputDevice")) << taken.dump();
    ASSERT_EQ(taken["bufferFrameSizes"].value("BuiltInSpeakerDevice", 0), 512) << taken.dump();
    const pid_t guard = guardPid(app);
    ASSERT_TRUE(processExists(guard));

    app.signal(SIGKILL);
    const auto killed = Clock::now();
    // Reaped only afterwards: the wait for the exit would add its own polling to the figure.
    const auto restored = waitForSystem(
        app,
        [](const nlohmann::json& system) {
            return outputsAre(system, "BuiltInSpeakerDevice") &&
                   system["bufferFrameSizes"].value("BuiltInSpeakerDevice", 0) == 1024;
        },
        2s - (Clock::now() - killed));
    ASSERT_TRUE(restored) << app.sharedSystem().dump();
    std::cout << "[ figures  ] kill to restored outputs and size: "
              << std::chrono::duration<double, std::milli>(Clock::now() - killed).count()
              << " ms\n";
    EXPECT_EQ(app.waitForExit(kQuitTimeout), 128 + SIGKILL);
    for (int i = 0; i < 100 && processExists(guard); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(processExists(guard)) << "the guard leaves when it is done";
    EXPECT_TRUE(inOrder(
        app.messages(),
        {"guard: the application ended without quitting; giving its changes back", "guard: done"}));
}

TEST(Guard, AfterBothDiedTheNextLaunchTakesTheOriginalFromTheStateFile) {
    auto folder = std::make_shared<ScratchFolder>("sonarill-launch");
    {
        AppRun first(worldJSON(true), folder);
        ASSERT_TRUE(first.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
        ASSERT_TRUE(std::filesystem::exists(first.home() / kOutputsState));
        ::kill(guardPid(first), SIGKILL);
        first.signal(SIGKILL);
        EXPECT_EQ(first.waitForExit(kQuitTimeout), 128 + SIGKILL);
        ASSERT_TRUE(outputsAre(first.sharedSystem(), "Sonarill_OutputDevice"))
            << "nothing gave the output back";
    }
    // The machine as the dead run left it.
    AppRun second(worldJSON(true, R"(, "keepSystemState": true)"), folder);
    ASSERT_TRUE(second.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
    EXPECT_TRUE(second.line("Original default output (kept from an earlier run): "
                            "BuiltInSpeakerDevice"));
    EXPECT_TRUE(
        quitsLogging(second, {"Restoring default output to: BuiltInSpeakerDevice",
                              "Default output restored to deviceID=41", "cleanup complete"}));
    EXPECT_TRUE(outputsAre(second.sharedSystem(), "BuiltInSpeakerDevice"));
}

TEST(Guard, ACleanQuitLeavesNoGuardAndNoStateFile) {
    AppRun app(speakersAt1024());
    ASSERT_TRUE(app.waitForMessage("applicationDidFinishLaunching complete", kLaunchTimeout));
    const pid_t guard = guardPid(app);
    ASSERT_TRUE(processExists(guard));
    EXPECT_TRUE(quitsLogging(app, {"cleanup complete"}));
    EXPECT_FALSE(processExists(guard));
    EXPECT_FALSE(std::filesystem::exists(app.home() / kOutputsState));
    const nlohmann::json system = app.sharedSystem();
    EXPECT_TRUE(outputsAre(system, "BuiltInSpeakerDevice")) << system.dump();
    EXPECT_EQ(system["bufferFrameSizes"].value("BuiltInSpeakerDevice", 0), 1024);
    EXPECT_THAT(app.messages(),
                ::testing::Not(Contains(
                    "guard: the application ended without quitting; giving its changes back")));
}

} // namespace
