// The real executable launched on a scratch home where files are not what they seem: a FIFO, a
// folder or links in place of its files, copies kept from earlier runs, a configuration too
// large to write back, values over several lines, a closed standard output. Each launch must
// finish, quit in order and leave the files as each row of
// tests/scenarios/launch/hostile-files.json says.
#include "support/DataRows.h"
#include "support/Eventually.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace sonarill::testing;
namespace fs = std::filesystem;
using nlohmann::json;

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

class HostileFiles : public ::testing::TestWithParam<DataRow> {};

TEST_P(HostileFiles, Row) {
    ASSERT_EQ(GetParam().problem, "");
    const json& row = GetParam().value;
    knownKeysOnly(row, {"name", "why", "plant", "closedOutput", "logged", "after"});
    ScratchFolder scratch("sonarill-hostile");
    const fs::path home = scratch.path() / "home";
    for (const auto& [name, what] : row.at("plant").items())
        plant(home / name, what);
    json world = json::parse(readBytes(fs::path(SONARILL_TABLES) / "speakers-and-headset.json"));
    writeBytes(scratch.path() / "world.json", world.dump());
    fs::create_directories(scratch.path() / "runtime");
    fs::permissions(scratch.path() / "runtime", fs::perms::owner_all);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (scratch.path() / "data").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (scratch.path() / "runtime").c_str(), 1);
    setenv("SONARILL_SIM_WORLD", (scratch.path() / "world.json").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // Standard output: a file, or a pipe whose reader has already gone.
    int output[2] = {-1, -1};
    if (row.value("closedOutput", false)) {
        ASSERT_EQ(::pipe(output), 0);
        ::close(output[0]);
    } else {
        output[1] = ::open((scratch.path() / "stdout.txt").c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::string program = SONARILL_APP_PATH;
    char* arguments[] = {program.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, arguments, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);

    const fs::path logFile = home / "Library/Logs/Sonarill.log";
    const auto logged = [&](const std::string& line) {
        return readBytes(logFile).find("] " + line + "\n") != std::string::npos;
    };
    int status = -1;
    const auto ended = [&] { return ::waitpid(pid, &status, WNOHANG) == pid; };
    // A launch stuck on a file never logs this: bounded, then killed.
    const bool launched =
        eventually([&] { return logged("applicationDidFinishLaunching complete"); }, 60s);
    if (launched)
        ::kill(pid, SIGTERM);
    if (!launched || !eventually(ended, 30s)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "killed; " << (launched ? "no quit" : "no launch") << "; it logged:\n"
                      << readBytes(logFile) << readBytes(scratch.path() / "stdout.txt");
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::istringstream file(readBytes(logFile));
    std::vector<std::string> messages;
    for (std::string text; std::getline(file, text);) {
        const size_t second = text.find("] ", text.find("] ") + 2);
        messages.push_back(second == std::string::npos ? text : text.substr(second + 2));
    }
    const std::map<std::string, std::string> names = {
        {"config", (home / kConfigFolder / "config.yaml").string()}, {"home", home.string()}};
    auto at = messages.begin();
    for (const json& line : memberOrNull(row, "logged")) {
        at = std::find_if(at, messages.end(), [&](const std::string& message) {
            return lineMatches(message, line, names);
        });
        ASSERT_NE(at, messages.end()) << "missing or out of order: " << line.dump() << "\n"
                                      << readBytes(logFile);
    }
    for (const auto& [name, what] : memberOrNull(row, "after").items())
        EXPECT_TRUE(holds(home / name, what, row["plant"]));
}

INSTANTIATE_TEST_SUITE_P(HostileFiles, HostileFiles,
                         ::testing::ValuesIn(readRows(SONARILL_TABLES "/hostile-files.json")),
                         rowName);

} // namespace
