// sonarill-screenshots FOLDER
//
// Draws the README's pictures into FOLDER: popover-light.png, popover-dark.png and settings.png,
// at twice their size, as a Retina screen shows them. The routing model and its forwarder run on
// the simulated audio system's default devices with the driver installed and five applications
// with icons: Music, Spotify and Safari on the speakers, Podcasts and Zoom on the headset (named
// "Desk Headset"), at assorted volumes. Home and data folder are a scratch folder, so
// nothing of the user's is read or changed; Qt's offscreen platform draws unless QT_QPA_PLATFORM
// names another. Prints one line per file written. Exits 0, 1 when the pictures could not be
// made or written, 2 for arguments it refuses.

#include "forwarder/AudioForwarder.h"
#include "platform/NotificationCenter.h"
#include "platform/qt/QtMainQueue.h"
#include "routing/AudioRoutingViewModel.h"
#include "sim/Control.h"
#include "ui/MenuBarView.h"
#include "ui/SettingsView.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace sonarill;

const std::string kHeadsetUID = "AppleUSBAudioEngine:Generic:USB Headset:1410000:1";

struct Pictured {
    const char* bundleId;
    const char* name;
    QColor colour; // of its icon, which shows the name's initial
    bool onHeadset;
    float volume;
};
const Pictured kApps[] = {
    {"com.apple.Music", "Music", 0xfa2d48, false, 0.8f},
    {"com.spotify.client", "Spotify", 0x1db954, false, 0.45f},
    {"com.apple.Safari", "Safari", 0x1a9bf0, false, 1.0f},
    {"com.apple.podcasts", "Podcasts", 0x9b4fe0, true, 1.0f},
    {"us.zoom.xos", "Zoom", 0x2d8cff, true, 0.65f},
};

// A rounded square of the application's colour with its initial, saved in `folder`.
std::string drawIcon(const Pictured& app, const std::filesystem::path& folder) {
    QImage icon(64, 64, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(app.colour);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(38);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(icon.rect(), Qt::AlignCenter, QString(QChar(app.name[0])));
    painter.end();
    const std::filesystem::path file = folder / (std::string(app.name) + ".png");
    return icon.save(QString::fromStdString(file.string())) ? file.string() : std::string();
}

// Runs what the model and the simulation's listeners posted; layout requests travel up one level
// of widgets a pass.
void settle() {
    sim::waitForNotifications();
    for (int pass = 0; pass < 8; ++pass)
        QCoreApplication::processEvents();
}

// The run's home and data folder; removed however the run ends, after the simulation is stilled
// (an empty world on the manual clock), whose threads would otherwise go on using it.
class ScratchHome {
public:
    bool create() {
        path_ = std::filesystem::temp_directory_path() / "sonarill-screenshots-XXXXXX";
        if (mkdtemp(path_.data()) == nullptr)
            return false;
        setenv("HOME", path_.c_str(), 1);
        setenv("XDG_DATA_HOME", path_.c_str(), 1);
        return true;
    }
    ~ScratchHome() {
        (void)sim::resetWorld(sim::World{}, sim::TimelineClock::manual);
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }

    std::filesystem::path path() const { return path_; }

private:
    std::string path_;
};

// Draws the three pictures and names each file written on `out`. The model goes before the
// forwarder it drives, which stops what still runs as it goes.
int draw(const std::filesystem::path& folder, FILE* out) {
    platform::QtMainQueue queue;
    forwarder::AudioForwarder forwarder;
    const auto model = routing::AudioRoutingViewModel::create(
        {queue, forwarder, platform::NotificationCenter::defaultCenter(),
         routing::defaultConfigPath().value_or(std::filesystem::path())});
    settle();
    for (const Pictured& app : kApps) {
        if (app.onHeadset)
            model->moveApp(app.bundleId, kHeadsetUID);
        model->setVolume(app.bundleId, app.volume);
    }
    model->setCustomName(kHeadsetUID, "Desk Headset");
    model->setMasterVolume(kHeadsetUID, 0.7f);
    if (model->usedDevices().size() != 2 || model->routedApps().size() != std::size(kApps)) {
        std::fputs("sonarill-screenshots: the model did not take up the pictured state\n", stderr);
        return 1;
    }
    ui::MenuBarView popover(*model);
    popover.resize(320, 480);
    popover.show();
    ui::SettingsView settings;
    settings.show();
    for (const auto& [widget, name, window] :
         {std::tuple<QWidget*, const char*, QColor>{&popover, "popover-light", 0xf7f7f7},
          {&popover, "popover-dark", 0x3a3a3c},
          {&settings, "settings", 0xf7f7f7}}) {
        QApplication::setPalette(QPalette(window, window.darker(105)));
        settle();
        QImage image(widget->size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2.0);
        image.fill(window);
        widget->render(&image);
        const std::filesystem::path file = folder / (std::string(name) + ".png");
        if (!image.save(QString::fromStdString(file.string()))) {
            std::fprintf(stderr, "sonarill-screenshots: cannot write %s\n", file.c_str());
            return 1;
        }
        std::fprintf(out, "%s\n", file.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
        std::fputs("usage: sonarill-screenshots FOLDER\n", stderr);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "sonarill-screenshots: cannot create %s: %s\n", folder.c_str(),
                     error.message().c_str());
        return 1;
    }
    ScratchHome home;
    if (!home.create()) {
        std::perror("sonarill-screenshots: cannot create a scratch folder");
        return 1;
    }
    // The log echoes every line on standard output; the names of the files alone go there.
    std::fflush(stdout);
    FILE* const out = fdopen(dup(STDOUT_FILENO), "w");
    const int devNull = open("/dev/null", O_WRONLY);
    if (out == nullptr || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) {
        std::perror("sonarill-screenshots: cannot set standard output aside");
        return 1;
    }
    close(devNull);

    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    sim::World world = sim::defaultWorld();
    world.plugin.installed = true;
    world.apps.clear();
    for (const Pictured& app : kApps)
        world.apps.push_back({.bundleId = app.bundleId,
                              .name = app.name,
                              .toneHz = 440,
                              .icon = drawIcon(app, home.path())});
    if (const auto reset = sim::resetWorld(world, sim::TimelineClock::realTime); !reset) {
        std::fprintf(stderr, "sonarill-screenshots: %s\n", reset.error().c_str());
        return 1;
    }
    const int status = draw(folder, out);
    std::fclose(out);
    return status;
}
