#include "base/Files.h"
#include "support/Scratch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using sonarill::base::readFileBounded;

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
