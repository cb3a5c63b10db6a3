// Reading a file no larger than a limit, replacing one so that a reader sees the old or the new
// content whole, and the home folder.

#include "base/Files.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace sonarill::base;
using sonarill::testing::treeOf;
using Tree = std::map<std::string, std::string>;

namespace {

// Each row: what is read, the limit, and the content or why not.
TEST(BoundedRead, ReadsFilesUpToTheLimitWholeAndSaysWhyOthersAreRefused) {
    sonarill::testing::ScratchFolder scratch;
    const auto file = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(scratch.path() / name, std::ios::binary) << bytes;
        return scratch.path() / name;
    };
    struct Row {
        fs::path path;
        size_t limit;
        std::string result;
        bool read = false;
    };
    const Row rows[] = {
        {file("empty", ""), 8, "", true},
        {file("full", "12345678"), 8, "12345678", true},
        {file("over", "123456789"), 8, "is larger than 8 bytes"},
        // Endless, and with no size to check first, like a pipe.
        {"/dev/zero", kMaxTextFileSize, "is larger than 16 MiB"},
        {scratch.path(), kMaxTextFileSize, "is a folder, not a file"},
        {scratch.path() / "missing", 8, "cannot be opened: No such file or directory"},
    };
    for (const Row& row : rows) {
        const auto read = readFileBounded(row.path, row.limit);
        EXPECT_EQ(read ? *read : read.error(), row.result) << row.path;
        EXPECT_EQ(bool(read), row.read) << row.path;
    }
}

// Each row: the content replaced, which reads back whole, with the file readable by all and no
// temporary left (every file in the folder shows); missing folders are made.
TEST(AtomicWrite, ReplacesContentAndLeavesNoTemporaryBehind) {
    sonarill::testing::ScratchFolder scratch;
    const fs::path path = scratch.path() / "a" / "b" / "config.json";
    for (const std::string& bytes : {std::string("first, and longer"), std::string("second"),
                                     std::string(), std::string(3, '\0')}) {
        const auto written = writeFileAtomically(path, bytes);
        ASSERT_TRUE(written) << written.error();
        EXPECT_EQ(treeOf(scratch.path()),
                  (Tree{{"a", "/"}, {"a/b", "/"}, {"a/b/config.json", bytes}}));
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0644u);
    }
}

// Each row: a write that cannot happen and why; the old file stays and no temporary is left.
TEST(AtomicWrite, FailuresSayWhyAndLeaveTheOldStateAndNoTemporary) {
    sonarill::testing::ScratchFolder scratch;
    const fs::path& folder = scratch.path();
    const fs::path locked = folder / "locked";
    ASSERT_TRUE(writeFileAtomically(locked / "config.json", "old"));
    fs::create_directories(folder / "target" / "inside");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const std::pair<fs::path, std::string> rows[] = {
        {folder / "target", "cannot be replaced: Is a directory"}, // the temporary is written
        {locked / "config.json" / "x", "cannot have its folder created: Not a directory"},
        {folder / "", "is not a file name"},
        {locked / "config.json", geteuid() == 0 ? "" : "cannot be written: Permission denied"},
    };
    for (const auto& [path, why] : rows) {
        if (why.empty()) // permissions do not bind root
            continue;
        const auto written = writeFileAtomically(path, "new");
        EXPECT_EQ(written ? "written" : written.error(), why) << path;
    }
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_EQ(treeOf(folder), (Tree{{"locked", "/"},
                                    {"locked/config.json", "old"},
                                    {"target", "/"},
                                    {"target/inside", "/"}}));
}

TEST(AtomicWrite, AConcurrentReaderSeesOnlyWholeContents) {
    sonarill::testing::ScratchFolder scratch;
    const fs::path path = scratch.path() / "config.json";
    // Larger than one write() and one page, with no common prefix a torn read could match.
    const std::string a(300000, 'a'), b(200000, 'b');
    ASSERT_TRUE(writeFileAtomically(path, a));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        for (; !done.load(); ++reads) {
            const auto read = readFileBounded(path);
            torn += !read || (*read != a && *read != b);
        }
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(writeFileAtomically(path, i % 2 ? a : b));
    while (reads.load() < 20) // the reader must have overlapped some writes
        std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(treeOf(scratch.path()).size(), 1u) << "no temporary left";
}

TEST(HomeFolder, FallsBackToTheUserDatabaseWhenHomeIsUnsetOrEmpty) {
    const char* saved = std::getenv("HOME");
    const std::string original = saved ? saved : "";
    const fs::path database = getpwuid(getuid())->pw_dir;
    const std::pair<const char*, fs::path> rows[] = {
        {"/somewhere/else", "/somewhere/else"}, {"", database}, {nullptr, database}};
    for (const auto& [home, expected] : rows) {
        home ? setenv("HOME", home, 1) : unsetenv("HOME");
        EXPECT_EQ(homeFolder(), expected) << (home ? home : "unset");
    }
    if (saved)
        setenv("HOME", original.c_str(), 1);
}

} // namespace
