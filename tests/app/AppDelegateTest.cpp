// The delegate on the offscreen platform, which has no system tray: the popover is the
// application's window there.
#include "app/AppDelegate.h"

#include "support/DefaultWorld.h"
#include "support/LogCapture.h"
#include "support/QtApplication.h"
#include "support/SimWorld.h"

#include <QIcon>
#include <QLabel>
#include <QPixmap>

#include <gtest/gtest.h>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

const auto* const home = addScratchHome();

// Views that count how often each is made. That the popover's content is made after the
// original output is recorded and the plug-in checked, the launch tests read in the log.
struct CountingViews {
    int popovers = 0;
    int settings = 0;

    app::AppDelegate::Views views() {
        return {[this](app::AppDelegate& delegate, QWidget* parent) -> QWidget* {
                    ++popovers;
                    EXPECT_EQ(delegate.originalDefaultOutputUID(), kSpeakersUID);
                    return new QLabel(QStringLiteral("routing"), parent);
                },
                [this](QWidget* parent) -> QWidget* {
                    ++settings;
                    return new QLabel(QStringLiteral("settings"), parent);
                }};
    }
};

void closeAndDelete(QWidget* window) {
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(AppDelegate, LaunchShowsThePopoverOnceAndTheSettingsWindowIsOneWindowUntilClosed) {
    qtApplication();
    const ScopedSimWorld world(worldWithDriver());
    CountingViews views;
    const LogCapture log;
    app::AppDelegate delegate(views.views(), -1);
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(app::AppDelegate::shared(), &delegate);
    EXPECT_EQ(views.popovers, 1);
    EXPECT_TRUE(log.contains("applicationDidFinishLaunching complete"));
    QWidget* popover = delegate.popover();
    ASSERT_NE(popover, nullptr);
    EXPECT_EQ(popover->size(), QSize(320, 480));
    EXPECT_TRUE(popover->isVisible());
    EXPECT_FALSE(popover->windowFlags().testFlag(Qt::Popup));
    EXPECT_EQ(popover->windowTitle(), "Sonarill");

    // Opening the settings leaves the popover open, and one settings window is all there is.
    EXPECT_EQ(delegate.settingsWindow(), nullptr);
    delegate.showSettingsWindow();
    delegate.showSettingsWindow();
    QWidget* settings = delegate.settingsWindow();
    ASSERT_NE(settings, nullptr);
    EXPECT_TRUE(settings->isVisible());
    EXPECT_TRUE(popover->isVisible());
    EXPECT_EQ(settings->windowTitle(), "Settings");
    EXPECT_EQ(settings->size(), QSize(440, 420));
    EXPECT_EQ(settings->minimumSize(), settings->maximumSize()) << "not resizable";
    EXPECT_EQ(views.settings, 1);
    auto* other = new QWidget; // another window closing changes nothing
    other->setAttribute(Qt::WA_DeleteOnClose);
    other->show();
    closeAndDelete(other);
    EXPECT_EQ(delegate.settingsWindow(), settings);
    closeAndDelete(settings);
    EXPECT_EQ(delegate.settingsWindow(), nullptr);
    delegate.showSettingsWindow();
    ASSERT_NE(delegate.settingsWindow(), nullptr);
    EXPECT_EQ(views.settings, 2);
    delete delegate.settingsWindow();

    // Hiding and showing the popover makes no new content.
    popover->hide();
    delegate.togglePopover();
    EXPECT_TRUE(popover->isVisible());
    EXPECT_EQ(views.popovers, 1);
}

TEST(AppDelegate, StatusItemPictureFallsBackToASpeakerSymbol) {
    qtApplication();
    EXPECT_FALSE(QPixmap(app::menuBarIconPath()).isNull()) << "the png is in the resources";
    for (const QString& path :
         {app::menuBarIconPath(), QString(), QStringLiteral("/nonexistent/MenuBarIcon.png")})
        EXPECT_FALSE(app::menuBarIcon(path).isNull()) << path.toStdString();
}

} // namespace
