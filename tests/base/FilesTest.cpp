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

// Each row: what is read, the limit, and the content or why not. Hostile files in a file's place
// are refused at once, never waited on or read without end.
TEST(BoundedRead, ReadsRegularFilesUpToTheLimitWholeAndSaysWhyOthersAreRefused) {
    sonarill::testing::ScratchFolder scratch;
    const fs::path at = scratch.path();
    const auto file = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(at / name, std::ios::binary) << bytes;
        return at / name;
    };
    const auto link = [&](const std::string& name, const fs::path& target) {
        fs::create_symlink(target, at / name);
        return at / name;
    };
    ASSERT_EQ(::mkfifo((at / "fifo").c_str(), 0644), 0);
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
        {link("link", "full"), 8, "12345678", true},
        {at / "fifo", 8, "is a pipe (FIFO), not a regular file"}, // nobody writes: no waiting
        {link("to-fifo", at / "fifo"), 8, "is a pipe (FIFO), not a regular file"},
        {"/dev/zero", kMaxTextFileSize, "is a device, not a regular file"},
        {at, kMaxTextFileSize, "is a folder, not a file"},
        {link("to-folder", at), 8, "is a folder, not a file"},
        {at / "missing", 8, "cannot be opened: No such file or directory"},
        {link("dangling", "missing"), 8, "cannot be opened: No such file or directory"},
        {link("loop", "loop"), 8, "cannot be opened: Too many levels of symbolic links"},
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

// Each row: links and files made (a link shows as "-> target"), the write through "config", and
// what is left: the link stays and what it leads to gets the bytes; no folder is made up for a
// dangling link, and a loop is refused.
TEST(AtomicWrite, WritesThroughLinksAndKeepsThem) {
    struct Row {
        Tree made;
        std::string result;
        Tree changed;
    };
    const Row rows[] = {
        {{{"config", "-> dots/real"}, {"dots/real", "old"}}, "written", {{"dots/real", "new"}}},
        {{{"config", "-> hop"}, {"hop", "-> dots/real"}, {"dots/real", "old"}},
         "written",
         {{"dots/real", "new"}}},
        {{{"config", "-> dots/new"}}, "written", {{"dots/new", "new"}}},
        {{{"config", "-> gone/real"}}, "is a link into a missing folder: "},
        {{{"config", "-> config"}}, "cannot be written: Too many levels of symbolic links"},
    };
    for (const Row& row : rows) {
        sonarill::testing::ScratchFolder scratch;
        Tree expected = {{"dots", "/"}};
        fs::create_directory(scratch.path() / "dots");
        for (const auto& [name, content] : row.made) {
            if (content.starts_with("-> "))
                fs::create_symlink(content.substr(3), scratch.path() / name);
            else
                std::ofstream(scratch.path() / name) << content;
            expected[name] = content;
        }
        for (const auto& [name, content] : row.changed)
            expected[name] = content;
        const auto written = writeFileAtomically(scratch.path() / "config", "new");
        EXPECT_EQ(written ? "written" : written.error().substr(0, row.result.size()), row.result);
        EXPECT_EQ(treeOf(scratch.path()), expected) << row.made.at("config");
    }
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

// Each row: copies kept before, then "f" moved aside (at most three kept): the name it got and
// every file after. A new copy follows the newest; the oldest goes when all names are taken.
TEST(MoveAside, NumbersKeptCopiesInOrderAndDropsTheOldest) {
    struct Row {
        Tree before;
        std::string name;
        Tree after;
    };
    const Row rows[] = {
        {{}, "f.old", {{"f.old", "new"}}},
        {{{"f.old", "1"}}, "f.old.1", {{"f.old", "1"}, {"f.old.1", "new"}}},
        {{{"f.old.1", "2"}}, "f.old.2", {{"f.old.1", "2"}, {"f.old.2", "new"}}},
        {{{"f.old", "1"}, {"f.old.1", "2"}, {"f.old.2", "3"}},
         "f.old.2",
         {{"f.old", "2"}, {"f.old.1", "3"}, {"f.old.2", "new"}}},
        // An oldest that cannot be dropped (a folder holding something) stops the shift: no copy
        // is renamed over another and the file stays.
        {{{"f.old/x", "1"}, {"f.old.1", "2"}, {"f.old.2", "3"}},
         "",
         {{"f", "new"}, {"f.old", "/"}, {"f.old/x", "1"}, {"f.old.1", "2"}, {"f.old.2", "3"}}},
    };
    for (const Row& row : rows) {
        sonarill::testing::ScratchFolder scratch;
        for (const auto& [name, bytes] : row.before) {
            fs::create_directories((scratch.path() / name).parent_path());
            std::ofstream(scratch.path() / name) << bytes;
        }
        std::ofstream(scratch.path() / "f") << "new";
        const auto kept = moveAside(scratch.path() / "f", ".old", 3);
        EXPECT_EQ(kept ? kept->filename().string() : "", row.name);
        EXPECT_EQ(treeOf(scratch.path()), row.after) << row.name;
        if (kept) {
            EXPECT_FALSE(moveAside(scratch.path() / "f", ".old", 3)) << "nothing left to move";
        }
    }
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
