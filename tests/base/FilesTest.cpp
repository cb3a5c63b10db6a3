// Reading a file no larger than a limit, replacing one so that a reader sees the old or the new
// content whole, and the home folder.

#include "base/Files.h"
#include "support/FileBytes.h"
#include "support/Scratch.h"
#include "support/TextTables.h"

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
using namespace sonarill::testing;
using nlohmann::json;

namespace {

// Makes `tree` below `root`: a text is a file's bytes, "/" a folder, "-> target" a link and
// "(fifo)" a FIFO; the folders above each are made too.
void make(const fs::path& root, const json& tree) {
    for (const auto& [name, what] : tree.items()) {
        const fs::path path = root / name;
        const std::string text = what;
        fs::create_directories(path.parent_path());
        if (text == "/")
            fs::create_directories(path);
        else if (text.starts_with("-> "))
            fs::create_symlink(text.substr(3), path);
        else if (text == "(fifo)")
            ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
        else
            writeBytes(path, text);
    }
}

// The checks the tables in tests/scenarios/files name, as their README.md describes them.
const std::map<std::string, TextCheck> kChecks = {
    {"readFileBounded",
     [](const json& in, const json& gives) {
         const ScratchFolder scratch;
         make(scratch.path(), in.at("made"));
         const auto read = readFileBounded(scratch.path() / in.at("path").get<std::string>(),
                                           in.value("limit", kMaxTextFileSize));
         EXPECT_EQ((read ? json(*read) : json{{"error", read.error()}}), gives);
     }},
    {"writeFileAtomically",
     [](const json& in, const json& gives) {
         knownKeysOnly(in, {"made", "path", "bytes", "readOnly"});
         const ScratchFolder scratch;
         make(scratch.path(), in.at("made"));
         const bool locked = in.contains("readOnly");
         const fs::path folder = scratch.path() / in.value("readOnly", "");
         if (locked && geteuid() == 0) // permissions do not bind root
             return;
         if (locked)
             fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
         const fs::path path = scratch.path() / in.at("path").get<std::string>();
         const auto written = writeFileAtomically(path, textOf(in.value("bytes", json("new"))));
         if (locked)
             fs::permissions(folder, fs::perms::owner_all);
         const std::string why = gives.value("error", "");
         EXPECT_EQ(written ? "" : written.error().substr(0, why.size()), why);
         EXPECT_EQ(json(treeOf(scratch.path())), gives.at("after"));
         struct stat info {};
         EXPECT_TRUE(!written ||
                     (::stat(path.c_str(), &info) == 0 && (info.st_mode & 0777) == 0644))
             << "readable by all";
     }},
    {"moveAside",
     [](const json& made, const json& gives) {
         const ScratchFolder scratch;
         make(scratch.path(), made);
         writeBytes(scratch.path() / "f", "new");
         const auto kept = moveAside(scratch.path() / "f", ".old", 3);
         EXPECT_EQ(kept ? json(kept->filename().string()) : json(), gives.at("name"));
         EXPECT_EQ(json(treeOf(scratch.path())), gives.at("after"));
         if (kept) {
             EXPECT_FALSE(moveAside(scratch.path() / "f", ".old", 3)) << "nothing left to move";
         }
     }},
};

// One test per table: its rows are cheap, each traced by its name.
class FileTables : public ::testing::TestWithParam<std::string> {};

TEST_P(FileTables, Hold) {
    for (const DataRow& row : readRows(fs::path(SONARILL_FILE_CASES) / (GetParam() + ".json"))) {
        SCOPED_TRACE(row.name);
        runTextCheck(row, kChecks);
    }
}
INSTANTIATE_TEST_SUITE_P(Files, FileTables, ::testing::Values("Reading", "Writing", "KeptCopies"),
                         [](const auto& table) { return table.param; });

TEST(AtomicWrite, AConcurrentReaderSeesOnlyWholeContents) {
    ScratchFolder scratch;
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
