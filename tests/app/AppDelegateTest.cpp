#include "app/AppDelegate.h"

#include "support/DefaultWorld.h"
#include "support/LogCapture.h"
#include "support/QtApplication.h"
#include "support/SimWorld.h"

#include <QIcon>
#include <QLabel>
#include <QPixmap>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using ::testing::Contains;

const auto* const home = addScratchHome();

// Views that count how often each is made and note what the delegate knew by then.
struct CountingViews {
    int popovers = 0;
    int settings = 0;
    std::optional<std::string> recordedWhenPopoverMade;
    bool pluginCheckedWhenPopoverMade = false;

    app::AppDelegate::Views views() {
        return {[this](app::AppDelegate& delegate, QWidget* parent) -> QWidget* {
                    ++popovers;
                    recordedWhenPopoverMade = delegate.originalDefaultOutputUID();
                    pluginCheckedWhenPopoverMade = log.contains("PluginLifecycle: ready=true");
                    return new QLabel(QStringLiteral("routing"), parent);
                },
                [this](QWidget* parent) -> QWidget* {
                    ++settings;
                    return new QLabel(QStringLiteral("settings"), parent);
                }};
    }
    LogCapture log;
};

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override { qtApplication(); }
    ScopedSimWorld world{worldWithDriver()};
};

void processDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(AppDelegateTest, LaunchMakesThePopoverContentOnceAfterTheOutputIsRecorded) {
    CountingViews views;
    app::AppDelegate delegate(views.views(), -1);
    EXPECT_EQ(app::AppDelegate::shared(), nullptr);
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(app::AppDelegate::shared(), &delegate);
    EXPECT_EQ(views.popovers, 1);
    EXPECT_EQ(views.recordedWhenPopoverMade, kSpeakersUID);
    EXPECT_TRUE(views.pluginCheckedWhenPopoverMade);
    EXPECT_EQ(views.log.messages().back(), "applicationDidFinishLaunching complete");

    QWidget* popover = delegate.popover();
    ASSERT_NE(popover, nullptr);
    EXPECT_EQ(popover->size(), QSize(320, 480));
    // The offscreen platform has no system tray: the popover is the application's window.
    EXPECT_EQ(delegate.statusItem(), nullptr);
    EXPECT_TRUE(popover->isVisible());
    EXPECT_FALSE(popover->windowFlags().testFlag(Qt::Popup));
    EXPECT_EQ(popover->windowTitle(), "Sonarill");

    // Opening the settings leaves that window open; hiding and showing it makes no new content.
    delegate.showSettingsWindow();
    EXPECT_TRUE(popover->isVisible());
    popover->hide();
    delegate.togglePopover();
    EXPECT_TRUE(popover->isVisible());
    EXPECT_EQ(views.popovers, 1);
    delete delegate.settingsWindow();
}

TEST_F(AppDelegateTest, SettingsWindowIsOneWindowUntilItIsClosed) {
    CountingViews views;
    app::AppDelegate delegate(views.views(), -1);
    EXPECT_EQ(delegate.settingsWindow(), nullptr);
    delegate.showSettingsWindow();
    QWidget* first = delegate.settingsWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->windowTitle(), "Settings");
    EXPECT_EQ(first->size(), QSize(440, 420));
    EXPECT_EQ(first->minimumSize(), first->maximumSize()) << "not resizable";
    EXPECT_EQ(views.settings, 1);

    delegate.showSettingsWindow();
    EXPECT_EQ(delegate.settingsWindow(), first);
    EXPECT_EQ(views.settings, 1);

    // Another window closing changes nothing.
    auto* other = new QWidget;
    other->setAttribute(Qt::WA_DeleteOnClose);
    other->show();
    other->close();
    processDeferredDeletes();
    EXPECT_EQ(delegate.settingsWindow(), first);

    first->close();
    processDeferredDeletes();
    EXPECT_EQ(delegate.settingsWindow(), nullptr);
    delegate.showSettingsWindow();
    ASSERT_NE(delegate.settingsWindow(), nullptr);
    EXPECT_EQ(views.settings, 2);
    delete delegate.settingsWindow();
}

TEST_F(AppDelegateTest, StatusItemPictureFallsBackToASpeakerSymbol) {
    EXPECT_FALSE(QPixmap(app::menuBarIconPath()).isNull()) << "the png is in the resources";
    EXPECT_FALSE(app::menuBarIcon(app::menuBarIconPath()).isNull());
    for (const QString& missing : {QString(), QStringLiteral("/nonexistent/MenuBarIcon.png")})
        EXPECT_FALSE(app::menuBarIcon(missing).isNull()) << missing.toStdString();
}

} // namespace
