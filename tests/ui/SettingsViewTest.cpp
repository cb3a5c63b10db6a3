// The settings view: the start-at-login switch with its preference and login item, opening the
// configuration file, and the reset.

#include "ui/SettingsView.h"
#include "SettingsFixture.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/Preferences.h"
#include "routing/AudioRoutingViewModel.h"
#include "support/LogCapture.h"
#include "ui/Controls.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <fstream>

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

class Settings : public SettingsFixture {
protected:
    ui::ToggleSwitch* toggle(const QWidget& view) {
        return view.findChild<ui::ToggleSwitch*>("startAtLogin");
    }
    void click(const QWidget& view, const char* name) {
        QTest::mouseClick(view.findChild<QAbstractButton*>(name), Qt::LeftButton);
    }
    std::filesystem::path configPath() const { return *routing::defaultConfigPath(); }
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

TEST_F(Settings, TheSwitchStoresThePreferenceAndRegistersTheLoginItem) {
    ui::SettingsView view;
    EXPECT_FALSE(toggle(view)->isChecked());
    click(view, "startAtLogin");
    EXPECT_TRUE(platform::autoStartEnabled());
    EXPECT_TRUE(std::filesystem::exists(autostartEntry()));
    click(view, "startAtLogin");
    EXPECT_FALSE(platform::autoStartEnabled());
    EXPECT_FALSE(std::filesystem::exists(autostartEntry()));
}

TEST_F(Settings, ShowingTheViewTouchesNoLoginItemAndANewViewShowsTheStoredValue) {
    platform::setAutoStartEnabled(true);
    {
        ui::SettingsView view;
        view.show();
        EXPECT_TRUE(toggle(view)->isChecked());
        EXPECT_FALSE(std::filesystem::exists(autostartEntry()));
        click(view, "startAtLogin"); // off: unregisters what is not there, quietly
        click(view, "startAtLogin"); // on again: registers
        EXPECT_TRUE(std::filesystem::exists(autostartEntry()));
    }
    ui::SettingsView reopened;
    EXPECT_TRUE(toggle(reopened)->isChecked());
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
    EXPECT_EQ(output.back(), '\n');
    EXPECT_TRUE(toggle(view)->isChecked());
    EXPECT_TRUE(platform::autoStartEnabled());
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(Settings, OpenConfigFileAsksTheDesktopEvenBeforeTheFileExists) {
    std::filesystem::remove(configPath());
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    ui::SettingsView view;
    click(view, "openConfig");
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(recorder.urls.size(), 1u);
    EXPECT_EQ(recorder.urls[0], QUrl::fromLocalFile(QString::fromStdString(configPath().string())));
}

TEST_F(Settings, ResetRemovesTheFileThenAsksForTheInMemoryReset) {
    enum class Before { file, nothing, unremovable };
    struct Case {
        const char* name;
        Before before;
        bool posted;
        const char* logged;
    } cases[] = {
        {"file", Before::file, true,
         "resetDefaults: cleared config file and requested in-memory reset"},
        {"no file", Before::nothing, true,
         "resetDefaults: cleared config file and requested in-memory reset"},
        {"unremovable", Before::unremovable, false, "resetDefaults: ERROR removing config file: "},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(configPath());
        std::filesystem::create_directories(configPath().parent_path());
        if (c.before == Before::file)
            std::ofstream(configPath()) << "devices: []\n";
        if (c.before == Before::unremovable) {
            std::filesystem::create_directories(configPath() / "inside");
        }
        int posts = 0;
        const auto observer = platform::NotificationCenter::defaultCenter().observe(
            std::string(platform::kResetConfigNotification), [&] { ++posts; });
        LogCapture log;
        ui::SettingsView view;
        click(view, "reset");
        EXPECT_EQ(posts, c.posted ? 1 : 0) << c.name;
        ASSERT_EQ(log.messages().size(), 1u) << c.name;
        EXPECT_EQ(log.messages()[0].rfind(c.logged, 0), 0u) << log.messages()[0];
        EXPECT_EQ(std::filesystem::exists(configPath()), c.before == Before::unremovable) << c.name;
    }
    std::filesystem::remove_all(configPath());
}

} // namespace

#include "SettingsViewTest.moc"
