// The login item of freedesktop.org sessions: the autostart entry and its quoting.

#include "platform/qt/LoginItem.h"
#include "SettingsFixture.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

std::string execLine(const std::string& entry) {
    std::istringstream lines(entry);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Exec=", 0) == 0)
            return line;
    return {};
}

TEST(AutostartEntry, ExecQuotesThePathAsOneArgument) {
    struct Case {
        const char* path;
        const char* exec;
    } cases[] = {
        {"/usr/bin/sonarill", R"(Exec="/usr/bin/sonarill")"},
        {"/opt/My Apps/sonarill", R"(Exec="/opt/My Apps/sonarill")"},
        {"/tmp/a\"b", R"(Exec="/tmp/a\\"b")"},
        {"/tmp/$HOME/x", R"(Exec="/tmp/\\$HOME/x")"},
        {"/tmp/tick`x", R"(Exec="/tmp/tick\\`x")"},
        {"/tmp/back\\slash", R"(Exec="/tmp/back\\\\slash")"},
        {"/tmp/100%", R"(Exec="/tmp/100%%")"},
        {"/tmp/semi;colon&(x)", R"x(Exec="/tmp/semi;colon&(x)")x"},
        {"/tmp/line\nbreak", R"(Exec="/tmp/line\nbreak")"},
    };
    for (const Case& c : cases) {
        const std::string entry = platform::autostartDesktopEntry(c.path);
        EXPECT_EQ(execLine(entry), c.exec) << c.path;
        EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
        EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
    }
}

class LoginItem : public SettingsFixture {};

TEST_F(LoginItem, RegisteringWritesAnEntryForThisProgramAndUnregisteringRemovesIt) {
    ASSERT_EQ(platform::autostartEntryPath(), autostartEntry());
    ASSERT_TRUE(platform::setLoginItemEnabled(true));
    std::ifstream file(autostartEntry());
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(execLine(text.str()),
              "Exec=\"" + QCoreApplication::applicationFilePath().toStdString() + "\"");
    ASSERT_TRUE(platform::setLoginItemEnabled(false));
    EXPECT_FALSE(std::filesystem::exists(autostartEntry()));
    // Unregistering what is not registered is no failure.
    EXPECT_TRUE(platform::setLoginItemEnabled(false));
}

TEST_F(LoginItem, ARelativeConfigHomeIsIgnored) {
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    const auto path = platform::autostartEntryPath();
    ASSERT_TRUE(path);
    EXPECT_EQ(path->parent_path().parent_path().filename(), ".config");
    EXPECT_TRUE(path->is_absolute());
}

TEST_F(LoginItem, AnUnwritableFolderIsReported) {
    std::filesystem::create_directories(configHome());
    std::ofstream(configHome() / "autostart") << "a file where the folder should be";
    const base::Expected<void> done = platform::setLoginItemEnabled(true);
    ASSERT_FALSE(done);
    EXPECT_NE(done.error().find("sonarill.desktop"), std::string::npos) << done.error();
}

} // namespace
