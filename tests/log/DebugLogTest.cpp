#include "log/DebugLog.h"
#include "support/Scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using sonarill::DebugLog::log;
using sonarill::DebugLog::logPath;

namespace {

const auto* const home = sonarill::testing::addScratchHome();

std::string readLog() {
    std::ifstream file(logPath(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::regex kLinePattern(R"(\[\d\d:\d\d:\d\d\.\d\d\d\] \[DebugLogTest:(\d+)\] (.*))");

} // namespace

TEST(DebugLogFormat, BaseNameDropsFoldersAndEveryOccurrenceOfTheExtension) {
    using sonarill::DebugLog::sourceBaseName;
    EXPECT_EQ(sourceBaseName("/src/app/AppDelegate.cpp"), "AppDelegate");
    EXPECT_EQ(sourceBaseName("Model.cpp.cpp"), "Model");
    EXPECT_EQ(sourceBaseName("a/b/NoExtension"), "NoExtension");
    EXPECT_EQ(sourceBaseName("x.h"), "x");
}

TEST(DebugLogFormat, LineCarriesTimeFileLineAndMessage) {
    EXPECT_EQ(sonarill::DebugLog::formatLine("14:03:07.251", "src/app/AppDelegate.cpp", 66, "hi"),
              "[14:03:07.251] [AppDelegate:66] hi\n");
}

TEST(DebugLogFile, AppendsOneLinePerCallWithTheCallersLocationAndEchoesStandardOutput) {
    fs::remove(logPath());
    ::testing::internal::CaptureStdout();
    const unsigned firstLine = __LINE__ + 1;
    log("first");
    log("second\ncontinued");
    const std::string echoed = ::testing::internal::GetCapturedStdout();

    const std::string text = readLog();
    EXPECT_EQ(echoed, text);
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line;
    EXPECT_EQ(match[1], std::to_string(firstLine));
    EXPECT_EQ(match[2], "first");
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line;
    EXPECT_EQ(match[1], std::to_string(firstLine + 1));
    EXPECT_EQ(match[2], "second");
    // Only the first line of a message carries the stamp.
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "continued");
    EXPECT_FALSE(std::getline(lines, line));
}

TEST(DebugLogFile, DeletedFileIsCreatedAgainWithJustTheNextLine) {
    log("before");
    fs::remove(logPath());
    log("after");
    const std::string text = readLog();
    EXPECT_EQ(text.find("before"), std::string::npos);
    EXPECT_NE(text.find("] after\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(DebugLogFile, ConcurrentLinesNeverInterleave) {
    fs::remove(logPath());
    constexpr int threads = 8;
    constexpr int perThread = 200;
    const std::string payload(300, 'x');
    std::vector<std::thread> workers;
    ::testing::internal::CaptureStdout();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                log("t" + std::to_string(t) + " " + payload);
        });
    }
    for (auto& worker : workers)
        worker.join();
    ::testing::internal::GetCapturedStdout();

    std::istringstream lines(readLog());
    std::string line;
    std::smatch match;
    int count = 0;
    const std::regex message(R"(t\d )" + payload);
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_match(line, match, kLinePattern)) << line;
        const std::string text = match[2];
        ASSERT_TRUE(std::regex_match(text, message)) << line;
        ++count;
    }
    EXPECT_EQ(count, threads * perThread);
}

// Last: the Logs folder is created only when the path is first built, so after it is deleted
// lines reach standard output alone.
TEST(DebugLogFile, MissingFolderIsNotCreatedAgainAndStandardOutputStillGetsTheLine) {
    fs::remove_all(fs::path(logPath()).parent_path());
    ::testing::internal::CaptureStdout();
    log("only on stdout");
    const std::string echoed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(echoed.find("] only on stdout\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::path(logPath()).parent_path()));
}

// The path is fixed at first use, so each case runs in a fresh child process.
TEST(DebugLogPath, WithoutHomeTheLogGoesToTheUsersHomeFolderNotTheCurrentFolder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path scratch = home->path();
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    const std::string expected = fs::path(entry->pw_dir) / "Library" / "Logs" / "Sonarill.log";
    for (const char* value : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_EXIT(
            {
                fs::current_path(scratch);
                value ? setenv("HOME", value, 1) : unsetenv("HOME");
                const bool right = logPath() == expected && !fs::exists(scratch / "Library");
                fs::remove_all(scratch); // the child's own; it skips the teardown
                std::_Exit(right ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << (value ? "HOME empty" : "HOME unset");
    }
}
