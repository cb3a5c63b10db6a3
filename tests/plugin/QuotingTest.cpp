#include "TestSupport.h"

#include "platform/PrivilegedShell.h"
#include "plugin/InstallCommand.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace sonarill;
using namespace sonarill::plugin;
using plugin::test::TempFolder;
using Outcome = platform::PrivilegedShellResult::Outcome;

TEST(ShellQuoting, WrapsInSingleQuotesAndSpellsEachSingleQuoteAsQuoteBackslashQuoteQuote) {
    EXPECT_EQ(shellQuoted("/Library/Audio/Plug-Ins/HAL"), "'/Library/Audio/Plug-Ins/HAL'");
    EXPECT_EQ(shellQuoted("it's"), "'it'\\''s'");
    EXPECT_EQ(shellQuoted("''"), "''\\'''\\'''");
    EXPECT_EQ(shellQuoted(""), "''");
    // Everything else is literal between single quotes, so it is left alone.
    EXPECT_EQ(shellQuoted("a \"b\" \\c $d `e`"), "'a \"b\" \\c $d `e`'");
}

TEST(AppleScriptQuoting, DoublesBackslashesBeforeEscapingDoubleQuotes) {
    EXPECT_EQ(appleScriptEscaped(R"(a\b"c)"), R"(a\\b\"c)");
    // A backslash already in front of a quote must not swallow the quote's own escape.
    EXPECT_EQ(appleScriptEscaped(R"(\")"), R"(\\\")");
    EXPECT_EQ(privilegedShellScript("echo 'x'"),
              "do shell script \"echo 'x'\" with administrator privileges");
}

TEST(InstallCommand, MakesTheFolderRemovesTheOldBundleCopiesAndRestartsTheAudioServer) {
    EXPECT_EQ(installCommand("/HAL", "/HAL/Sonarill.driver", "/App/Sonarill.driver"),
              "/bin/mkdir -p '/HAL' && /bin/rm -rf '/HAL/Sonarill.driver' && /bin/cp -R "
              "'/App/Sonarill.driver' '/HAL/Sonarill.driver' && (/usr/bin/killall coreaudiod "
              ">/dev/null 2>&1 || true)");
}

TEST(AppleScriptQuoting, ScriptDecodesBackToTheExactCommand) {
    for (const std::string& command :
         {std::string(R"(/bin/cp -R '/a "b"\c' '/it'\''s')"), std::string(R"(\\"\"")"),
          std::string("tab\there"), std::string()}) {
        EXPECT_EQ(platform::shellCommandOfScript(privilegedShellScript(command)), command);
    }
}

TEST(AppleScriptDecoding, RejectsTextsThatAreNotOneValidDoShellScript) {
    const std::string suffix = " with administrator privileges";
    for (const std::string& script : {
             std::string("do shell script 'ls'" + suffix),     // not a string literal
             std::string("do shell script \"ls\""),            // no privileges clause
             std::string("do shell script \"a\"b\"" + suffix), // quote left unescaped
             std::string("do shell script \"a\\q\"" + suffix), // unknown escape
             std::string("do shell script \"ls" + suffix),     // literal never closed
             std::string("do shell script \"ls\\"),            // escape at the very end
         }) {
        EXPECT_EQ(platform::shellCommandOfScript(script), std::nullopt) << script;
    }
    EXPECT_EQ(platform::shellCommandOfScript("do shell script \"a\\nb\\rc\\td\"" + suffix),
              "a\nb\rc\td");
}

// Folder names that break every naive quoting: blanks, both quote kinds, backslashes, and text
// that would run a command if a shell ever read it unquoted.
class HostilePathInstall : public ::testing::Test {
protected:
    TempFolder root;
    const fs::path installDir = root.path() / "it's \"the\" HAL \\ dir $(touch pwned1)";
    const fs::path source =
        root.path() / "src '; touch pwned2; ' `touch pwned3`" / "Sonarill \\\"driver\\\" '.driver";
    const fs::path installPath = installDir / "Sonarill.driver";

    platform::PrivilegedShellResult runInstall() {
        const std::string command =
            installCommand(installDir.string(), installPath.string(), source.string());
        return platform::systemPrivilegedShell()->run(privilegedShellScript(command));
    }
};

TEST_F(HostilePathInstall, RealShellCreatesTheFolderAndCopiesTheBundleAndTouchesNothingElse) {
    plugin::test::writeBundle(source, "com.sonarill.driver", "new driver");
    const std::vector<std::string> before = plugin::test::treeBelow(root.path());

    const platform::PrivilegedShellResult result = runInstall();

    ASSERT_EQ(result.outcome, Outcome::Succeeded) << result.errorDescription;
    EXPECT_EQ(plugin::test::readFile(installPath / "Contents/MacOS/libtidewell.dylib"),
              "new driver");
    std::vector<std::string> expected = before;
    for (const char* added : {"", "/Contents", "/Contents/Info.plist", "/Contents/MacOS",
                              "/Contents/MacOS/libtidewell.dylib"})
        expected.push_back(installPath.lexically_relative(root.path()).string() + added);
    expected.push_back(installDir.lexically_relative(root.path()).string());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(plugin::test::treeBelow(root.path()), expected);
}

TEST_F(HostilePathInstall, RealShellReplacesAnInstalledBundleCompletely) {
    plugin::test::writeBundle(source, "com.sonarill.driver", "new driver");
    plugin::test::writeBundle(installPath, "com.sonarill.driver", "old driver");
    plugin::test::writeFile(installPath / "Contents/Resources/stale.txt", "left over");
    const fs::path neighbour = installDir / "Other.driver/Contents/Info.plist";
    plugin::test::writeFile(neighbour, "another plug-in");

    ASSERT_EQ(runInstall().outcome, Outcome::Succeeded);

    EXPECT_EQ(plugin::test::readFile(installPath / "Contents/MacOS/libtidewell.dylib"),
              "new driver");
    EXPECT_FALSE(fs::exists(installPath / "Contents/Resources"));
    EXPECT_EQ(plugin::test::readFile(neighbour), "another plug-in");
    // A copy into an existing folder would nest the bundle instead of replacing it.
    EXPECT_FALSE(fs::exists(installPath / source.filename()));
}

TEST_F(HostilePathInstall, MissingSourceFailsWithTheShellsErrorAndLeavesNoBundle) {
    plugin::test::writeBundle(installPath, "com.sonarill.driver", "old driver");

    const platform::PrivilegedShellResult result = runInstall();

    EXPECT_EQ(result.outcome, Outcome::Failed);
    EXPECT_NE(result.errorDescription.find("exit status"), std::string::npos);
    EXPECT_NE(result.errorDescription.find("cp"), std::string::npos);
    EXPECT_FALSE(fs::exists(installPath));
}
