#include "TestSupport.h"

#include "platform/Paths.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;
using namespace sonarill;

TEST(RunProgram, ReportsTheExitStatusAndWhatTheProgramWroteToStandardError) {
    const platform::ProgramResult result =
        platform::runProgram({"/bin/sh", "-c", "echo to-out; echo to-err >&2; exit 3"});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.standardError, "to-err\n");
}

TEST(RunProgram, StandardInputAndOutputAreDevNull) {
    // Inherited ones would let an installer step wait on the terminal or print into our output.
    // The shell reads its own descriptors; dash would redirect them while running a command.
    const platform::ProgramResult result = platform::runProgram(
        {"/bin/sh", "-c",
         "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); echo \"$in $out\" >&2"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "/dev/null /dev/null\n");
}

TEST(RunProgram, ProgramsThatCannotStartOrDieBySignalAreFailures) {
    const platform::ProgramResult missing = platform::runProgram({"/nonexistent/program"});
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_NE(missing.standardError.find("/nonexistent/program"), std::string::npos);

    const platform::ProgramResult killed = platform::runProgram({"/bin/sh", "-c", "kill -9 $$"});
    EXPECT_EQ(killed.exitStatus, -1);
    EXPECT_NE(killed.standardError.find("signal 9"), std::string::npos);

    EXPECT_EQ(platform::runProgram({}).exitStatus, -1);
}

TEST(PlatformPaths, BundleResourcesSitBesideTheMacOSFolderOfAnAppBundle) {
    EXPECT_EQ(platform::bundleResourcesFolder("/Applications/Sonarill.app/Contents/MacOS"),
              fs::path("/Applications/Sonarill.app/Contents/Resources"));
    EXPECT_EQ(platform::bundleResourcesFolder("/Applications/Sonarill.app/Contents/MacOS/"),
              fs::path("/Applications/Sonarill.app/Contents/Resources"));
    EXPECT_EQ(platform::bundleResourcesFolder("/usr/local/bin"), std::nullopt);
    EXPECT_EQ(platform::bundleResourcesFolder("/opt/Contents/MacOS"), std::nullopt);
}

TEST(PlatformPaths, SimulatedPlatformHasNoResourcesAndFindsItsOwnExecutable) {
    EXPECT_EQ(platform::applicationResourcesFolder(), std::nullopt);
    const std::optional<fs::path> folder = platform::executableFolder();
    ASSERT_TRUE(folder);
    EXPECT_TRUE(fs::is_regular_file(*folder / "plugin_tests"));
}

TEST(PlatformPaths, HomeFallsBackToTheUserDatabaseWhenHomeIsUnsetOrEmpty) {
    const std::string saved = std::getenv("HOME");
    setenv("HOME", "/somewhere/else", 1);
    EXPECT_EQ(platform::homeFolder(), fs::path("/somewhere/else"));
    setenv("HOME", "", 1);
    const std::optional<fs::path> fromDatabase = platform::homeFolder();
    unsetenv("HOME");
    EXPECT_EQ(platform::homeFolder(), fromDatabase);
    setenv("HOME", saved.c_str(), 1);
    ASSERT_TRUE(fromDatabase);
    EXPECT_TRUE(fromDatabase->is_absolute());
}

TEST(PluginSourceFolders, ResourcesThenWorkingFolderThenTheExecutablesFolderAndSevenAncestors) {
    const std::vector<fs::path> folders = plugin::pluginSourceFolders(
        fs::path("/App/Resources"), fs::path("/work"), fs::path("/a/b/c/d/e/f/g/h/i"));
    const std::vector<fs::path> expected = {
        "/App/Resources", "/work",      "/a/b/c/d/e/f/g/h/i", "/a/b/c/d/e/f/g/h", "/a/b/c/d/e/f/g",
        "/a/b/c/d/e/f",   "/a/b/c/d/e", "/a/b/c/d",           "/a/b/c",           "/a/b"};
    EXPECT_EQ(folders, expected);
}

TEST(PluginSourceFolders, StopsAtTheRootAndLeavesOutAbsentFolders) {
    const std::vector<fs::path> expected = {"/a/b", "/a", "/"};
    EXPECT_EQ(plugin::pluginSourceFolders(std::nullopt, std::nullopt, fs::path("/a/b")), expected);
    EXPECT_TRUE(plugin::pluginSourceFolders(std::nullopt, std::nullopt, std::nullopt).empty());
}
