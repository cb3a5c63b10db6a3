// The debug log: each line's stamp, the file it appends to and standard output, which gets every
// line even when the file cannot be written.

#include "log/DebugLog.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"
#include "support/TextTables.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using sonarill::DebugLog::log;
using sonarill::DebugLog::logPath;
using namespace sonarill::testing;

namespace {

const auto* const home = sonarill::testing::addScratchHome();

// The log file's lines: the line of this file that logged each and its message; a line without
// the stamp as it is, at line 0.
using Lines = std::vector<std::pair<unsigned, std::string>>;
Lines logLines() {
    static const std::regex stamped(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[DebugLogTest:(\d+)\] (.*))");
    std::istringstream text(readBytes(logPath()));
    Lines lines;
    std::smatch match;
    for (std::string line; std::getline(text, line);)
        lines.emplace_back(std::regex_match(line, match, stamped)
                               ? std::pair{unsigned(std::stoul(match[1])), match[2].str()}
                               : std::pair{0u, line});
    return lines;
}

// Each row of tests/scenarios/log/lines.json: a message and the line it is written as. A name from
// another program cannot forge a line, nor write controls or NULs; ordinary text is as it was.
TEST(DebugLogFormat, LineCarriesTimeFileBaseNameLineAndMessageOnOneLine) {
    for (const DataRow& row : readRows(SONARILL_TABLES "/lines.json")) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(row.problem, "");
        knownKeysOnly(row.value, {"name", "why", "file", "message", "shown"});
        EXPECT_EQ(sonarill::DebugLog::formatLine("14:03:07.251",
                                                 row.value.at("file").get<std::string>(), 66,
                                                 textOf(row.value.at("message"))),
                  "[14:03:07.251] [" + textOf(row.value.at("shown")) + "\n");
    }
}

TEST(DebugLogFile, ConcurrentLinesNeverInterleave) {
    fs::remove(logPath());
    const std::string payload(300, 'x');
    std::vector<std::thread> workers;
    ::testing::internal::CaptureStdout(); // 1600 lines
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                log(payload);
        });
    for (auto& worker : workers)
        worker.join();
    ::testing::internal::GetCapturedStdout();
    const auto lines = logLines();
    EXPECT_EQ(lines.size(), 8u * 200u);
    for (const auto& line : lines)
        ASSERT_EQ(line.second, payload) << "a torn line";
}

// Last of the file's tests: the Logs folder is made only when the path is first built.
TEST(DebugLogFile, AppendsOneLinePerCallAtTheCallersPlaceAndMakesTheFileButNotItsFolderAgain) {
    fs::remove(logPath());
    ::testing::internal::CaptureStdout();
    const unsigned at = __LINE__ + 1;
    log("first");
    log("second\ncontinued"); // one call, one line
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), readBytes(logPath()));
    EXPECT_EQ(logLines(), (Lines{{at, "first"}, {at + 1, "second\\ncontinued"}}));
    fs::remove(logPath());
    log("after");
    EXPECT_EQ(logLines(), (Lines{{__LINE__ - 1, "after"}}));
    fs::remove_all(fs::path(logPath()).parent_path());
    ::testing::internal::CaptureStdout();
    log("only on stdout");
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("] only on stdout\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(fs::path(logPath()).parent_path()));
    fs::create_directories(fs::path(logPath()).parent_path()); // later tests read the log
}

// The path is fixed at first use, so it is read in a fresh child process. An empty HOME is the
// case a plain read of the variable gets wrong; the folder's other fallbacks are the base tests'.
TEST(DebugLogPath, WithAnEmptyHomeTheLogGoesToTheUsersHomeFolderNotTheCurrentFolder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path scratch = home->path();
    const std::string expected = fs::path(getpwuid(getuid())->pw_dir) / "Library/Logs/Sonarill.log";
    EXPECT_EXIT(
        {
            fs::current_path(scratch);
            setenv("HOME", "", 1);
            const bool right = logPath() == expected && !fs::exists(scratch / "Library");
            fs::remove_all(scratch); // the child's own; it skips the teardown
            std::_Exit(right ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
