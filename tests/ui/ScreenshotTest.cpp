// Screenshots of the popover, light and dark, and of the settings view, for the README. Runs only
// when SONARILL_SCREENSHOT_DIR names the folder to write them to.

#include "UiTestSupport.h"
#include "ui/SettingsView.h"

#include <QImage>

#include <cstdlib>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

sim::World screenshotWorld() {
    sim::World world = worldWithDriver();
    // Speakers, headset and HDMI display: the multi-output device stays out of the picture.
    std::erase_if(world.devices, [](const sim::Device& d) { return d.uid == kMultiOutputUID; });
    world.apps.clear();
    return world;
}

class Screenshots : public PopoverTest {
protected:
    Screenshots() : PopoverTest(screenshotWorld()) {}

    void SetUp() override {
        const char* folder = std::getenv("SONARILL_SCREENSHOT_DIR");
        if (folder == nullptr || *folder == '\0')
            GTEST_SKIP() << "SONARILL_SCREENSHOT_DIR names no folder";
        out = folder;
        for (const char* name : {"Music", "Podcasts", "Spotify", "Zoom", "Safari"})
            ASSERT_TRUE(sim::launchApp(
                {.bundleId = std::string("app.") + name, .name = name, .toneHz = 440}));
        PopoverTest::SetUp();
        model->moveApp("app.Zoom", kHeadsetUid);
        model->moveApp("app.Podcasts", kHeadsetUid);
        model->setCustomName(kHeadsetUid, "Desk Headset");
        model->setVolume("app.Music", 0.8f);
        model->setVolume("app.Spotify", 0.45f);
        model->setMasterVolume(kHeadsetUid, 0.7f);
        processEvents();
    }
    void TearDown() override {
        QApplication::setPalette(QPalette());
        PopoverTest::TearDown();
    }

    // Renders at twice the size, as a Retina screen shows it.
    void save(QWidget& widget, const std::string& name) {
        QImage image(widget.size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(widget.palette().color(QPalette::Window));
        widget.render(&image);
        ASSERT_TRUE(image.save(QString::fromStdString((out / name).string())));
    }

    std::filesystem::path out;
};

TEST_F(Screenshots, PopoverAndSettings) {
    std::filesystem::create_directories(out);
    ASSERT_EQ(sections(*view).size(), 2u);
    ASSERT_EQ(inactiveRows(*view).size(), 1u);
    for (const bool dark : {false, true}) {
        QApplication::setPalette(
            QPalette(dark ? QColor(0x3a, 0x3a, 0x3c) : QColor(0xf7, 0xf7, 0xf7),
                     dark ? QColor(0x28, 0x28, 0x2a) : QColor(0xf2, 0xf2, 0xf2)));
        processEvents();
        save(*view, dark ? "popover-dark.png" : "popover-light.png");
    }
    QApplication::setPalette(QPalette());
    ui::SettingsView settings;
    settings.show();
    processEvents();
    save(settings, "settings.png");
}

} // namespace
