// Screenshots of the popover, light and dark, and of the settings view, for the README, at twice
// the size as a Retina screen shows them. Runs only when SONARILL_SCREENSHOT_DIR names the folder
// to write them to.

#include "UiTestSupport.h"
#include "ui/SettingsView.h"

#include <QImage>

namespace {

using namespace sonarill::testing;
using Screenshots = PopoverTest;

TEST_F(Screenshots, PopoverAndSettings) {
    const std::string folder = qEnvironmentVariable("SONARILL_SCREENSHOT_DIR").toStdString();
    if (folder.empty())
        GTEST_SKIP() << "SONARILL_SCREENSHOT_DIR names no folder";
    std::filesystem::create_directories(folder);
    model->moveApp(kPodcasts, kHeadsetUid);
    model->setCustomName(kHeadsetUid, "Desk Headset");
    model->setVolume(kMusic, 0.8f);
    sonarill::ui::SettingsView settings;
    settings.show();
    for (const auto& [widget, name, window] :
         {std::tuple<QWidget*, const char*, QColor>{view.get(), "popover-light", 0xf7f7f7},
          {view.get(), "popover-dark", 0x3a3a3c},
          {&settings, "settings", 0xf7f7f7}}) {
        QApplication::setPalette(QPalette(window, window.darker(105)));
        processEvents();
        QImage image(widget->size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(window);
        widget->render(&image);
        EXPECT_TRUE(image.save(QString::fromStdString(folder + "/" + name + ".png"))) << name;
    }
    QApplication::setPalette(QPalette());
}

} // namespace
