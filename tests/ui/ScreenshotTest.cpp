// Screenshots of the popover, light and dark, and of the settings view, for the README, at twice
// the size as a Retina screen shows them. Runs only when SONARILL_SCREENSHOT_DIR names the folder
// to write them to.

#include "UiTestSupport.h"
#include "ui/SettingsView.h"

#include <QImage>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

using Screenshots = PopoverTest;

TEST_F(Screenshots, PopoverAndSettings) {
    const char* folder = std::getenv("SONARILL_SCREENSHOT_DIR");
    if (folder == nullptr || *folder == '\0')
        GTEST_SKIP() << "SONARILL_SCREENSHOT_DIR names no folder";
    std::filesystem::create_directories(folder);
    model->moveApp(kPodcasts, kHeadsetUid);
    model->setCustomName(kHeadsetUid, "Desk Headset");
    model->setVolume(kMusic, 0.8f);
    ui::SettingsView settings;
    settings.show();
    for (const auto& [widget, name, window] :
         {std::tuple<QWidget*, const char*, QColor>{view.get(), "popover-light.png", 0xf7f7f7},
          {view.get(), "popover-dark.png", 0x3a3a3c},
          {&settings, "settings.png", 0xf7f7f7}}) {
        QApplication::setPalette(QPalette(window, window.darker(105)));
        processEvents();
        QImage image(widget->size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(widget->palette().color(QPalette::Window));
        widget->render(&image);
        EXPECT_TRUE(image.save(QString::fromStdString(folder + std::string("/") + name))) << name;
    }
    QApplication::setPalette(QPalette());
}

} // namespace
