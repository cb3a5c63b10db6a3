// The settings view: the start-at-login switch with its preference and the login item it
// registers (an autostart entry of freedesktop.org sessions), opening the configuration file,
// and the reset.

#include "platform/NotificationCenter.h"
#include "platform/qt/LoginItem.h"
#include "platform/qt/Preferences.h"
#include "routing/AudioRoutingViewModel.h"
#include "support/FileBytes.h"
#include "support/LogCapture.h"
#include "support/QtApplication.h"
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

#include <gmock/gmock.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class UrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// A test's own preference store and XDG configuration folder (where autostart entries go).
class Settings : public ::testing::Test {
protected:
    Settings() {
        qtApplication().setOrganizationName(QStringLiteral("SonarillTests"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((folder.path() / "preferences").string()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(configHome.string()));
    }
    // An empty value is as good as none: the login item then writes below the home folder.
    ~Settings() override { qputenv("XDG_CONFIG_HOME", previousConfigHome); }
    static std::filesystem::path configPath() { return *routing::defaultConfigPath(); }
    static bool switchedOn(const QWidget& view) {
        return view.findChild<ui::ToggleSwitch*>("startAtLogin")->isChecked();
    }
    static void click(const QWidget& view, const char* name) {
        QTest::mouseClick(view.findChild<QAbstractButton*>(name), Qt::LeftButton);
    }

    ScratchFolder folder;
    const std::filesystem::path configHome = folder.path() / "config",
                                autostartEntry = configHome / "autostart" / "sonarill.desktop";
    const QByteArray previousConfigHome = qgetenv("XDG_CONFIG_HOME");
};

TEST_F(Settings, HasItsFixedSizeSectionsAndVersion) {
    ui::SettingsView view;
    EXPECT_EQ(view.size(), QSize(440, 420));
    std::vector<QString> texts;
    for (const auto* label : view.findChildren<ui::ElidedLabel*>())
        texts.push_back(label->text());
    for (const auto* button : view.findChildren<QAbstractButton*>())
        texts.push_back(button->text());
    texts.push_back(view.findChild<QLabel*>()->text());
    EXPECT_THAT(texts, ::testing::ElementsAre("General", "Configuration", "About",
                                              "Sonarill v2.0.0", "", "Open Config File",
                                              "Reset to Defaults", "Start Sonarill at login"));
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
        EXPECT_THAT(readBytes(autostartEntry),
                    HasSubstr("\nExec=\"" + QCoreApplication::applicationFilePath().toStdString() +
                              "\"\n"));
        click(view, "startAtLogin");
        EXPECT_FALSE(platform::autoStartEnabled());
        EXPECT_FALSE(std::filesystem::exists(autostartEntry));
    }
    platform::setAutoStartEnabled(true);
    {
        ui::SettingsView view;
        view.show();
        EXPECT_TRUE(switchedOn(view));
        EXPECT_FALSE(std::filesystem::exists(autostartEntry));
        click(view, "startAtLogin");
        EXPECT_FALSE(platform::autoStartEnabled());
        click(view, "startAtLogin");
        EXPECT_TRUE(std::filesystem::exists(autostartEntry));
    }
    EXPECT_TRUE(switchedOn(ui::SettingsView()));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "no change failed";
}

TEST_F(Settings, AFailedRegistrationKeepsTheSwitchOnAndIsReportedOnStandardOutputOnly) {
    writeBytes(configHome / "autostart", "a file where the folder should be");
    ui::SettingsView view;
    LogCapture log;
    ::testing::internal::CaptureStdout();
    click(view, "startAtLogin");
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                ::testing::MatchesRegex("Failed to update login item: .*sonarill.desktop.*\n"));
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

// Quoted as one argument: '"', '`', '$' and '\' escaped, '%' doubled, and the backslashes and
// line breaks escaped again as in every string value.
TEST(AutostartEntry, ExecQuotesThePathAsOneArgument) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/sonarill", R"(Exec="/usr/bin/sonarill")"},
        {"/opt/My \"Apps\"/$x`;&(y)\\100%", R"(Exec="/opt/My \\"Apps\\"/\\$x\\`;&(y)\\\\100%%")"},
        {"/tmp/line\nbreak", R"(Exec="/tmp/line\nbreak")"}};
    for (const auto& [path, exec] : cases) {
        const std::string entry = platform::autostartDesktopEntry(path);
        EXPECT_THAT(entry, StartsWith("[Desktop Entry]\nType=Application\n"));
        EXPECT_THAT(entry, HasSubstr("\n" + std::string(exec) + "\n")) << path;
    }
}

TEST_F(Settings, OpenConfigFileAsksTheDesktopEvenBeforeTheFileExists) {
    std::filesystem::remove(configPath());
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    click(ui::SettingsView(), "openConfig");
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_THAT(recorder.urls, ::testing::ElementsAre(QUrl::fromLocalFile(
                                   QString::fromStdString(configPath().string()))));
}

// A file, no file, and a folder in the file's place that cannot be removed.
TEST_F(Settings, ResetRemovesTheFileThenAsksForTheInMemoryReset) {
    const std::string done = "resetDefaults: cleared config file and requested in-memory reset";
    const struct {
        const char* before;
        int posts;
        std::string logged;
    } cases[] = {{"file", 1, done},
                 {"", 1, done},
                 {"folder", 0, "resetDefaults: ERROR removing config file: Directory not empty"}};
    for (const auto& c : cases) {
        std::filesystem::remove_all(configPath());
        if (c.before == std::string("file"))
            writeBytes(configPath(), "devices: []\n");
        if (c.before == std::string("folder"))
            std::filesystem::create_directories(configPath() / "inside");
        int posts = 0;
        const auto observer = platform::NotificationCenter::defaultCenter().observe(
            std::string(platform::kResetConfigNotification), [&] { ++posts; });
        LogCapture log;
        click(ui::SettingsView(), "reset");
        EXPECT_EQ(posts, c.posts) << c.before;
        EXPECT_THAT(log.messages(), ::testing::ElementsAre(c.logged)) << c.before;
        EXPECT_EQ(std::filesystem::exists(configPath()), c.before == std::string("folder"));
    }
    std::filesystem::remove_all(configPath());
}

} // namespace

#include "SettingsTest.moc"
