// The settings view: the start-at-login switch with its preference and the login item it
// registers (an autostart entry of freedesktop.org sessions), opening the configuration file,
// and the reset.

#include "platform/NotificationCenter.h"
#include "platform/qt/LoginItem.h"
#include "platform/qt/Preferences.h"
#include "routing/AudioRoutingViewModel.h"
#include "support/LogCapture.h"
#include "support/Scratch.h"
#include "ui/Controls.h"
#include "ui/SettingsView.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

std::string execLine(const std::string& entry) {
    std::istringstream lines(entry);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Exec=", 0) == 0)
            return line;
    return {};
}

// A test's own preference store and XDG configuration folder (where autostart entries go).
class Settings : public ::testing::Test {
protected:
    Settings() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((folder.path() / "preferences").string()));
        if (const char* previous = std::getenv("XDG_CONFIG_HOME"))
            previousConfigHome = previous;
        setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    }
    ~Settings() override {
        if (previousConfigHome)
            setenv("XDG_CONFIG_HOME", previousConfigHome->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }
    std::filesystem::path configHome() const { return folder.path() / "config"; }
    std::filesystem::path autostartEntry() const {
        return configHome() / "autostart" / "sonarill.desktop";
    }
    static std::filesystem::path configPath() { return *routing::defaultConfigPath(); }
    static bool switchedOn(const QWidget& view) {
        return view.findChild<ui::ToggleSwitch*>("startAtLogin")->isChecked();
    }
    static void click(const QWidget& view, const char* name) {
        QTest::mouseClick(view.findChild<QAbstractButton*>(name), Qt::LeftButton);
    }

    ScratchFolder folder;
    std::optional<std::string> previousConfigHome;
};

TEST_F(Settings, HasItsFixedSizeSectionsAndVersion) {
    ui::SettingsView view;
    EXPECT_EQ(view.size(), QSize(440, 420));
    EXPECT_EQ(view.findChild<ui::ElidedLabel*>("version")->text(), "Sonarill v2.0.0");
    std::vector<QString> headings;
    for (const auto* label : view.findChildren<ui::ElidedLabel*>("heading"))
        headings.push_back(label->text());
    EXPECT_EQ(headings, (std::vector<QString>{"General", "Configuration", "About"}));
    EXPECT_EQ(view.findChild<QLabel*>()->text(), "Start Sonarill at login");
    EXPECT_EQ(view.findChild<QPushButton*>("openConfig")->text(), "Open Config File");
    EXPECT_EQ(view.findChild<QPushButton*>("reset")->text(), "Reset to Defaults");
}

// Showing the view touches no login item; each click stores the preference and registers this
// program, or unregisters it, also when there is nothing to remove, without a failure.
TEST_F(Settings, TheSwitchStoresThePreferenceAndRegistersTheLoginItem) {
    ::testing::internal::CaptureStdout();
    {
        ui::SettingsView view;
        EXPECT_FALSE(switchedOn(view));
        click(view, "startAtLogin");
        EXPECT_TRUE(platform::autoStartEnabled());
        std::ifstream file(autostartEntry());
        std::stringstream text;
        text << file.rdbuf();
        EXPECT_EQ(execLine(text.str()),
                  "Exec=\"" + QCoreApplication::applicationFilePath().toStdString() + "\"");
        click(view, "startAtLogin");
        EXPECT_FALSE(platform::autoStartEnabled());
        EXPECT_FALSE(std::filesystem::exists(autostartEntry()));
    }
    platform::setAutoStartEnabled(true);
    {
        ui::SettingsView view;
        view.show();
        EXPECT_TRUE(switchedOn(view));
        EXPECT_FALSE(std::filesystem::exists(autostartEntry()));
        click(view, "startAtLogin");
        EXPECT_FALSE(platform::autoStartEnabled());
        click(view, "startAtLogin");
        EXPECT_TRUE(std::filesystem::exists(autostartEntry()));
    }
    EXPECT_TRUE(switchedOn(ui::SettingsView()));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "no change failed";
}

TEST_F(Settings, AFailedRegistrationKeepsTheSwitchOnAndIsReportedOnStandardOutputOnly) {
    std::filesystem::create_directories(configHome());
    std::ofstream(configHome() / "autostart") << "a file where the folder should be";
    ui::SettingsView view;
    LogCapture log;
    ::testing::internal::CaptureStdout();
    click(view, "startAtLogin");
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.rfind("Failed to update login item: ", 0), 0u) << output;
    EXPECT_NE(output.find("sonarill.desktop"), std::string::npos) << output;
    EXPECT_EQ(output.back(), '\n');
    EXPECT_TRUE(switchedOn(view));
    EXPECT_TRUE(platform::autoStartEnabled());
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(Settings, ARelativeConfigHomeIsIgnoredForTheLoginItem) {
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    const auto path = platform::autostartEntryPath();
    ASSERT_TRUE(path);
    EXPECT_EQ(path->parent_path().parent_path().filename(), ".config");
    EXPECT_TRUE(path->is_absolute());
}

TEST(AutostartEntry, ExecQuotesThePathAsOneArgument) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/sonarill", R"(Exec="/usr/bin/sonarill")"},
        {"/opt/My Apps/sonarill", R"(Exec="/opt/My Apps/sonarill")"},
        {"/tmp/a\"b", R"(Exec="/tmp/a\\"b")"},
        {"/tmp/$HOME/x", R"(Exec="/tmp/\\$HOME/x")"},
        {"/tmp/tick`x", R"(Exec="/tmp/tick\\`x")"},
        {"/tmp/back\\slash", R"(Exec="/tmp/back\\\\slash")"},
        {"/tmp/100%", R"(Exec="/tmp/100%%")"},
        {"/tmp/semi;colon&(x)", R"x(Exec="/tmp/semi;colon&(x)")x"},
        {"/tmp/line\nbreak", R"(Exec="/tmp/line\nbreak")"}};
    for (const auto& [path, exec] : cases) {
        const std::string entry = platform::autostartDesktopEntry(path);
        EXPECT_EQ(execLine(entry), exec) << path;
        EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
        EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
    }
}

TEST_F(Settings, OpenConfigFileAsksTheDesktopEvenBeforeTheFileExists) {
    std::filesystem::remove(configPath());
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    click(ui::SettingsView(), "openConfig");
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(recorder.urls.size(), 1u);
    EXPECT_EQ(recorder.urls[0], QUrl::fromLocalFile(QString::fromStdString(configPath().string())));
}

TEST_F(Settings, ResetRemovesTheFileThenAsksForTheInMemoryReset) {
    enum class Before { file, nothing, unremovable };
    const struct {
        Before before;
        bool posted;
        const char* logged;
    } cases[] = {
        {Before::file, true, "resetDefaults: cleared config file and requested in-memory reset"},
        {Before::nothing, true, "resetDefaults: cleared config file and requested in-memory reset"},
        {Before::unremovable, false, "resetDefaults: ERROR removing config file: "},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(configPath());
        std::filesystem::create_directories(configPath().parent_path());
        if (c.before == Before::file)
            std::ofstream(configPath()) << "devices: []\n";
        if (c.before == Before::unremovable)
            std::filesystem::create_directories(configPath() / "inside");
        int posts = 0;
        const auto observer = platform::NotificationCenter::defaultCenter().observe(
            std::string(platform::kResetConfigNotification), [&] { ++posts; });
        LogCapture log;
        click(ui::SettingsView(), "reset");
        EXPECT_EQ(posts, c.posted ? 1 : 0) << c.logged;
        ASSERT_EQ(log.messages().size(), 1u) << c.logged;
        EXPECT_EQ(log.messages()[0].rfind(c.logged, 0), 0u) << log.messages()[0];
        EXPECT_EQ(std::filesystem::exists(configPath()), c.before == Before::unremovable);
    }
    std::filesystem::remove_all(configPath());
}

} // namespace

#include "SettingsTest.moc"
