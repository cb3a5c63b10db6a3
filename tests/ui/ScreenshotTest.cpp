// Screenshots of the popover, light and dark, and of the settings view, for the README. Runs only
// when SONARILL_SCREENSHOT_DIR names the folder to write them to.

#include "UiTestSupport.h"
#include "ui/SettingsView.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdlib>

namespace {

using namespace sonarill;
using namespace sonarill::testing;

QPalette palette(bool dark) {
    const QColor window = dark ? QColor(0x28, 0x28, 0x2a) : QColor(0xf2, 0xf2, 0xf2);
    const QColor text = dark ? QColor(0xf5, 0xf5, 0xf7) : QColor(0x1d, 0x1d, 0x1f);
    const QColor control = dark ? QColor(0x3a, 0x3a, 0x3c) : QColor(0xf7, 0xf7, 0xf7);
    QPalette result(text, control, control.lighter(120), control.darker(150), control.darker(120),
                    text, text, control, window);
    result.setColor(QPalette::Highlight,
                    dark ? QColor(0x0a, 0x84, 0xff) : QColor(0x00, 0x7a, 0xff));
    result.setColor(QPalette::HighlightedText, Qt::white);
    result.setColor(QPalette::PlaceholderText,
                    dark ? QColor(0x8e, 0x8e, 0x93) : QColor(0x8e, 0x8e, 0x93));
    return result;
}

// A rounded square in the application's colour with its initial, as a Dock icon would be.
std::string writeIcon(const std::filesystem::path& folder, const std::string& name, QColor tint) {
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
    painter.fillPath(shape, tint);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(38);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 64, 64), Qt::AlignCenter,
                     QString::fromStdString(name.substr(0, 1)));
    painter.end();
    const std::filesystem::path path = folder / (name + ".png");
    image.save(QString::fromStdString(path.string()));
    return path.string();
}

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
        struct App {
            const char* bundleId;
            const char* name;
            QColor tint;
        } apps[] = {
            {"com.apple.Music", "Music", QColor(0xfa, 0x2d, 0x48)},
            {"com.apple.podcasts", "Podcasts", QColor(0x9b, 0x4d, 0xd6)},
            {"com.spotify.client", "Spotify", QColor(0x1d, 0xb9, 0x54)},
            {"us.zoom.xos", "Zoom", QColor(0x2d, 0x8c, 0xff)},
            {"com.apple.Safari", "Safari", QColor(0x00, 0x9e, 0xe0)},
        };
        for (const App& app : apps)
            ASSERT_TRUE(sim::launchApp({.bundleId = app.bundleId,
                                        .name = app.name,
                                        .toneHz = 440,
                                        .icon = writeIcon(folder_.path(), app.name, app.tint)}));
        PopoverTest::SetUp();
        model->moveApp("us.zoom.xos", kHeadsetUid);
        model->moveApp("com.apple.podcasts", kHeadsetUid);
        model->setCustomName(kHeadsetUid, "Desk Headset");
        model->setVolume("com.apple.Music", 0.8f);
        model->setVolume("com.spotify.client", 0.45f);
        model->setVolume("us.zoom.xos", 0.65f);
        model->setMasterVolume(kHeadsetUid, 0.7f);
        processEvents();
    }

    void TearDown() override {
        QApplication::setPalette(QPalette());
        PopoverTest::TearDown();
    }

    // Renders at twice the size, as a Retina screen shows it.
    static void save(QWidget& widget, const std::filesystem::path& path) {
        QImage image(widget.size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(widget.palette().color(QPalette::Window));
        widget.render(&image);
        ASSERT_TRUE(image.save(QString::fromStdString(path.string())));
    }

    std::filesystem::path out;
};

TEST_F(Screenshots, PopoverAndSettings) {
    std::filesystem::create_directories(out);
    ASSERT_EQ(sections(*view).size(), 2u);
    ASSERT_EQ(inactiveRows(*view).size(), 1u);
    for (const bool dark : {false, true}) {
        QApplication::setPalette(palette(dark));
        processEvents();
        save(*view, out / (dark ? "popover-dark.png" : "popover-light.png"));
    }
    QApplication::setPalette(palette(false));
    ui::SettingsView settings;
    settings.show();
    processEvents();
    save(settings, out / "settings.png");
}

} // namespace
