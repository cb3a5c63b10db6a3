#include "plugin/InstallCommand.h"
#include "plugin/PluginLifecycleManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;
using namespace sonarill::plugin;

TEST(InstallQuoting, BothLayersSpellTheCommandExactly) {
    // Single quotes as '\'' for the shell; then backslashes doubled before quotes are escaped.
    EXPECT_EQ(privilegedShellScript(installCommand("/H'A", "/H'A/S\"d", R"(/a\"b c)")),
              R"x(do shell script "/bin/mkdir -p '/H'\\''A' && /bin/rm -rf '/H'\\''A/S\"d' && )x"
              R"x(/bin/cp -R '/a\\\"b c' '/H'\\''A/S\"d' && (/usr/bin/killall coreaudiod )x"
              R"x(>/dev/null 2>&1 || true)" with administrator privileges)x");
}

TEST(InstallSourceFolders, ResourcesThenWorkingFolderThenTheExecutablesFolderAndSevenAncestors) {
    using Folders = std::vector<fs::path>;
    EXPECT_EQ(
        pluginSourceFolders(fs::path("/App/Resources"), fs::path("/work"),
                            fs::path("/a/b/c/d/e/f/g/h/i")),
        (Folders{"/App/Resources", "/work", "/a/b/c/d/e/f/g/h/i", "/a/b/c/d/e/f/g/h",
                 "/a/b/c/d/e/f/g", "/a/b/c/d/e/f", "/a/b/c/d/e", "/a/b/c/d", "/a/b/c", "/a/b"}));
    EXPECT_EQ(pluginSourceFolders(std::nullopt, std::nullopt, fs::path("/a/b/")),
              (Folders{"/a/b", "/a", "/"}));
    EXPECT_EQ(pluginSourceFolders(std::nullopt, std::nullopt, std::nullopt), Folders{});
}
