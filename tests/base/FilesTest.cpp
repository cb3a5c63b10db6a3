#include "base/Files.h"
#include "support/Scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using sonarill::base::readFileBounded;
using sonarill::base::writeFileAtomically;

namespace {

class BoundedRead : public ::testing::Test {
protected:
    fs::path write(const std::string& name, const std::string& bytes) {
        const fs::path path = scratch_.path() / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    sonarill::testing::ScratchFolder scratch_;
    const fs::path& folder_ = scratch_.path();
};

TEST_F(BoundedRead, ReadsFilesUpToTheLimitWholeAndRefusesLargerOnes) {
    const auto empty = readFileBounded(write("empty", ""), 8);
    ASSERT_TRUE(empty) << empty.error();
    EXPECT_EQ(*empty, "");
    const auto full = readFileBounded(write("full", "12345678"), 8);
    ASSERT_TRUE(full) << full.error();
    EXPECT_EQ(*full, "12345678");
    const auto over = readFileBounded(write("over", "123456789"), 8);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error(), "is larger than 8 bytes");
    EXPECT_EQ(readFileBounded(write("big", std::string(200000, 'x')), 65536).error(),
              "is larger than 65536 bytes");
}

TEST_F(BoundedRead, EndlessDevicesAndPipesAreRefusedAfterTheLimit) {
    const auto zero = readFileBounded("/dev/zero");
    ASSERT_FALSE(zero);
    EXPECT_EQ(zero.error(), "is larger than 16 MiB");

    const fs::path fifo = folder_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A pipe has no size to check first: the writer offers more than the limit.
    const pid_t writer = fork();
    if (writer == 0) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        const std::string bytes(100, 'y');
        const bool wrote = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == 100;
        std::_Exit(wrote ? 0 : 1);
    }
    const auto piped = readFileBounded(fifo, 64);
    EXPECT_EQ(piped.error(), "is larger than 64 bytes");
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
}

TEST_F(BoundedRead, FoldersAndMissingFilesSayWhy) {
    EXPECT_EQ(readFileBounded(folder_).error(), "is a folder, not a file");
    EXPECT_EQ(readFileBounded(folder_ / "missing").error(),
              "cannot be opened: No such file or directory");
}

class AtomicWrite : public ::testing::Test {
protected:
    // Everything in the folder, so a leftover temporary shows.
    std::vector<std::string> entries(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    sonarill::testing::ScratchFolder scratch_;
    const fs::path& folder_ = scratch_.path();
};

TEST_F(AtomicWrite, ReplacesContentAndLeavesNoTemporaryBehind) {
    const fs::path path = folder_ / "config.json";
    for (const std::string& bytes :
         std::vector<std::string>{"first, and longer", "second", "", std::string(3, '\0')}) {
        const auto written = writeFileAtomically(path, bytes);
        ASSERT_TRUE(written) << written.error();
        EXPECT_EQ(readFileBounded(path).value_or("<unreadable>"), bytes);
        EXPECT_EQ(entries(folder_), std::vector<std::string>{"config.json"});
    }
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(AtomicWrite, CreatesMissingFolders) {
    const fs::path path = folder_ / "a" / "b" / "config.json";
    const auto written = writeFileAtomically(path, "{}");
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(readFileBounded(path).value_or(""), "{}");
}

TEST_F(AtomicWrite, FailuresSayWhyAndLeaveTheOldStateAndNoTemporary) {
    const fs::path file = folder_ / "file";
    ASSERT_TRUE(writeFileAtomically(file, "old"));
    // A folder in the way of the target: the temporary is written, the rename refused.
    const fs::path folderTarget = folder_ / "target";
    fs::create_directories(folderTarget / "inside");
    const auto overFolder = writeFileAtomically(folderTarget, "new");
    ASSERT_FALSE(overFolder);
    EXPECT_EQ(overFolder.error().rfind("cannot be replaced: ", 0), 0u) << overFolder.error();
    EXPECT_TRUE(fs::is_directory(folderTarget / "inside"));
    // A file in the way of the folder.
    const auto underFile = writeFileAtomically(file / "config.json", "new");
    ASSERT_FALSE(underFile);
    EXPECT_EQ(underFile.error().rfind("cannot have its folder created: ", 0), 0u)
        << underFile.error();
    EXPECT_EQ(readFileBounded(file).value_or(""), "old");
    EXPECT_EQ(entries(folder_), (std::vector<std::string>{"file", "target"}));
    EXPECT_EQ(writeFileAtomically(folder_ / "", "x").error(), "is not a file name");
}

TEST_F(AtomicWrite, AFolderWithoutWritePermissionFailsAndKeepsTheOldFile) {
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    const fs::path locked = folder_ / "locked";
    ASSERT_TRUE(writeFileAtomically(locked / "config.json", "old"));
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const auto written = writeFileAtomically(locked / "config.json", "new");
    fs::permissions(locked, fs::perms::owner_all);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), "cannot be written: Permission denied");
    EXPECT_EQ(readFileBounded(locked / "config.json").value_or(""), "old");
    EXPECT_EQ(entries(locked), std::vector<std::string>{"config.json"});
}

TEST_F(AtomicWrite, AConcurrentReaderSeesOnlyWholeContents) {
    const fs::path path = folder_ / "config.json";
    // Larger than one write() and one page, with no common prefix a torn read could match.
    const std::string a(300000, 'a');
    const std::string b(200000, 'b');
    ASSERT_TRUE(writeFileAtomically(path, a));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            const auto read = readFileBounded(path);
            if (!read || (*read != a && *read != b))
                ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(writeFileAtomically(path, i % 2 ? a : b));
    // The reader must have overlapped some writes to have shown anything.
    while (reads.load() < 20)
        std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(entries(folder_), std::vector<std::string>{"config.json"});
}

TEST(HomeFolder, FallsBackToTheUserDatabaseWhenHomeIsUnsetOrEmpty) {
    const char* saved = std::getenv("HOME");
    const std::string original = saved ? saved : "";
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);

    setenv("HOME", "/somewhere/else", 1);
    EXPECT_EQ(sonarill::base::homeFolder(), fs::path("/somewhere/else"));
    setenv("HOME", "", 1);
    EXPECT_EQ(sonarill::base::homeFolder(), fs::path(entry->pw_dir));
    unsetenv("HOME");
    EXPECT_EQ(sonarill::base::homeFolder(), fs::path(entry->pw_dir));

    if (saved)
        setenv("HOME", original.c_str(), 1);
}

} // namespace
