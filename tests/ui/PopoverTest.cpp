// The popover over the real model: which sections and rows each state shows, that rows are
// updated in place, and what each control does to the model.

#include "UiTestSupport.h"
#include "ui/DeviceIconButton.h"
#include "ui/FooterButtonRow.h"
#include "ui/SymbolImages.h"
#include "ui/Theme.h"

#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gmock/gmock.h>

#include <cmath>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using ::testing::ElementsAre;

ui::DeviceIconButton* button(const QWidget& owner, const char* name) {
    return owner.findChild<ui::DeviceIconButton*>(QString::fromLatin1(name));
}
ui::ElidedLabel* label(const QWidget& owner, const char* name) {
    return owner.findChild<ui::ElidedLabel*>(QString::fromLatin1(name));
}
void launch(const std::string& bundleId, const std::string& icon = {}) {
    ASSERT_TRUE(
        sim::launchApp({.bundleId = bundleId, .name = bundleId, .toneHz = 300, .icon = icon}));
}
void click(QWidget* widget) {
    QTest::mouseClick(widget, Qt::LeftButton);
    processEvents();
}

class Popover : public PopoverTest {
protected:
    // The popover shows exactly the model's used devices with their applications, then its
    // unused devices, with the divider between only when there are unused ones.
    void expectShowsModel() {
        processEvents();
        EXPECT_EQ(uidsOf(sections(*view)), uids(model->usedDevices()));
        for (const auto* shown : sections(*view)) {
            const auto apps = model->apps(shown->device().uid);
            EXPECT_EQ(bundleIdsOf(rows(*shown)), bundleIdsOf(apps)) << shown->device().uid;
            EXPECT_EQ(label(*shown, "dropHint")->isVisibleTo(shown), apps.empty());
        }
        EXPECT_EQ(uidsOf(inactiveRows(*view)), uids(model->unusedDevices()));
        const auto* divider = view->findChild<QWidget*>(QStringLiteral("inactiveDivider"));
        EXPECT_EQ(divider->isVisibleTo(view.get()), !model->unusedDevices().empty());
        if (!sections(*view).empty() && !inactiveRows(*view).empty()) {
            EXPECT_LT(sections(*view).back()->mapTo(view.get(), QPoint()).y(),
                      divider->mapTo(view.get(), QPoint()).y());
        }
    }
};

// After each thing the user did or that happened, the sections and the unused rows shown; the
// multi-output device is an aggregate, which the model leaves out.
TEST_F(Popover, ShowsTheDevicesInUseWithTheirApplicationsAndTheOthersBelow) {
    const auto expectShown = [this](std::vector<std::string> used,
                                    std::vector<std::string> unused) {
        ASSERT_EQ(uids(model->usedDevices()), used);
        expectShowsModel();
        EXPECT_EQ(uidsOf(sections(*view)), used);
        EXPECT_EQ(uidsOf(inactiveRows(*view)), unused);
    };
    expectShown({kSpeakersUid}, {kHeadsetUid, kHDMIUid});
    launch("org.example.Player");
    tick();
    expectShown({kSpeakersUid}, {kHeadsetUid, kHDMIUid});
    model->moveApp(kPodcasts, kHeadsetUid);
    model->moveApp("org.example.Player", kHDMIUid);
    expectShown({kSpeakersUid, kHeadsetUid, kHDMIUid}, {});
    model->moveApp(kPodcasts, kSpeakersUid);
    model->moveApp(kMusic, kHeadsetUid);
    ASSERT_TRUE(sim::quitApp("org.example.Player"));
    tick();
    expectShown({kSpeakersUid, kHeadsetUid}, {kHDMIUid});
    for (const auto& app : sim::runningApps())
        ASSERT_TRUE(sim::quitApp(app.bundleId));
    tick();
    expectShown({}, {kSpeakersUid, kHeadsetUid, kHDMIUid});
}

TEST_F(Popover, RowsShowNamesAndPercentAndAreUpdatedInPlace) {
    QPointer<ui::DeviceSectionView> speakers = section(*view, kSpeakersUid);
    QPointer<ui::AppRouteRow> music = row(*view, kMusic), podcasts = row(*view, kPodcasts);
    QPointer<ui::InactiveDeviceRow> hdmi = inactiveRow(*view, kHDMIUid);
    EXPECT_EQ(label(*speakers, "name")->text(), "MacBook Pro Speakers");
    EXPECT_EQ(label(*speakers, "percent")->text(), "100%");
    EXPECT_EQ(label(*music, "name")->text(), "Music");
    EXPECT_EQ(label(*music, "percent")->text(), "100%");
    EXPECT_EQ(label(*hdmi, "name")->text(), "LG HDMI");
    model->setVolume(kMusic, 0.25f);
    model->setMasterVolume(kSpeakersUid, 0.5f);
    model->setCustomName(kHDMIUid, "Television");
    processEvents();
    EXPECT_EQ(section(*view, kSpeakersUid), speakers.data());
    EXPECT_EQ(row(*view, kMusic), music.data());
    EXPECT_EQ(inactiveRow(*view, kHDMIUid), hdmi.data());
    EXPECT_EQ(label(*music, "percent")->text(), "25%");
    EXPECT_EQ(music->findChild<QSlider*>("volume")->value(), 250);
    EXPECT_EQ(label(*speakers, "percent")->text(), "50%");
    EXPECT_EQ(label(*hdmi, "name")->text(), "Television");
    // Moving an application makes its row anew under the other device; the rest stay.
    model->moveApp(kMusic, kHeadsetUid);
    processEvents();
    EXPECT_TRUE(music.isNull());
    EXPECT_EQ(row(*view, kPodcasts), podcasts.data());
    EXPECT_EQ(section(*view, kSpeakersUid), speakers.data());
    EXPECT_TRUE(hdmi);
    EXPECT_EQ(rows(*section(*view, kHeadsetUid)).size(), 1u);
}

TEST_F(Popover, NameTooltipsNameTheSystemNameOnlyWhenItIsNotShown) {
    const struct {
        std::optional<std::string> customName;
        const char *shown, *tooltip;
    } cases[] = {
        {"Desk", "Desk", "System name: MacBook Pro Speakers"},
        {"  Desk  ", "Desk", "System name: MacBook Pro Speakers"},
        {"MacBook Pro Speakers", "MacBook Pro Speakers", "MacBook Pro Speakers"},
        {"   ", "MacBook Pro Speakers", "MacBook Pro Speakers"},
        {std::nullopt, "MacBook Pro Speakers", "MacBook Pro Speakers"},
    };
    for (const auto& c : cases) {
        model->setCustomName(kSpeakersUid, c.customName);
        processEvents();
        const auto* name = label(*section(*view, kSpeakersUid), "name");
        EXPECT_EQ(name->text(), c.shown) << c.customName.value_or("(none)");
        EXPECT_EQ(name->toolTip(), c.tooltip) << c.customName.value_or("(none)");
    }
}

// Which device buttons show, whether they can be pressed, their tooltips, and what a click does.
TEST_F(Popover, DeviceButtonsRemoveUseOnlyAndRename) {
    auto* speakersRemove = button(*section(*view, kSpeakersUid), "remove");
    EXPECT_FALSE(speakersRemove->isEnabled());
    EXPECT_EQ(speakersRemove->toolTip(), "Add another output before removing this one");
    click(speakersRemove);
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kSpeakersUid));
    // An unused device: its remove button shows only while it is enabled.
    const auto* headset = inactiveRow(*view, kHeadsetUid);
    EXPECT_FALSE(button(*headset, "remove")->isVisibleTo(headset));
    EXPECT_TRUE(button(*headset, "rename")->isVisibleTo(headset));
    EXPECT_TRUE(button(*headset, "useOnly")->isVisibleTo(headset));
    model->setDeviceEnabled(kHeadsetUid, true);
    processEvents();
    ASSERT_EQ(inactiveRow(*view, kHeadsetUid), headset);
    EXPECT_TRUE(button(*headset, "remove")->isVisibleTo(headset));
    EXPECT_EQ(button(*headset, "remove")->toolTip(), "Remove this output");
    click(button(*headset, "remove"));
    EXPECT_FALSE(button(*headset, "remove")->isVisibleTo(headset));
    // Two outputs in use: either can be removed.
    model->moveApp(kPodcasts, kHeadsetUid);
    processEvents();
    for (const auto* shown : sections(*view)) {
        EXPECT_TRUE(button(*shown, "remove")->isEnabled()) << shown->device().uid;
        EXPECT_EQ(button(*shown, "remove")->toolTip(), "Remove this output");
    }
    click(button(*section(*view, kHeadsetUid), "remove"));
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kSpeakersUid));
    expectShowsModel();
    click(button(*inactiveRow(*view, kHDMIUid), "useOnly"));
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kHDMIUid));
    expectShowsModel();
    EXPECT_EQ(button(*section(*view, kHDMIUid), "useOnly")->toolTip(), "Use only this output");
    EXPECT_EQ(button(*section(*view, kHDMIUid), "rename")->toolTip(), "Rename output");
}

TEST_F(Popover, ADeviceInUseWithoutApplicationsAsksForThem) {
    // The model only settles into this for a moment; the section shows it all the same.
    ui::RebuildGate gate([] {});
    ui::DeviceSectionView headset(model->unusedDevices().front(), *model, gate);
    EXPECT_TRUE(label(headset, "dropHint")->isVisibleTo(&headset));
    EXPECT_EQ(label(headset, "dropHint")->text(), "Drop apps here");
    EXPECT_TRUE(rows(headset).empty());
}

TEST_F(Popover, ApplicationRowsShowTheirIconOnlyWhenTheyHaveOne) {
    const std::filesystem::path png = folder_.path() / "player.png";
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(QString::fromStdString(png.string())));
    launch("org.example.Player", png.string());
    launch("org.example.Broken", "/no/such/icon.png");
    tick();
    processEvents();
    for (const auto& [bundleId, hasIcon] : {std::pair{kMusic, false},
                                            {std::string("org.example.Player"), true},
                                            {std::string("org.example.Broken"), true}}) {
        const auto* shown = row(*view, bundleId);
        ASSERT_NE(shown, nullptr) << bundleId;
        const auto* icon = shown->findChild<QLabel*>();
        EXPECT_EQ(icon->isVisibleTo(shown), hasIcon) << bundleId;
        if (hasIcon) {
            EXPECT_FALSE(icon->pixmap().isNull()) << bundleId;
        } else { // the row begins with the name
            EXPECT_EQ(label(*shown, "name")->x(), 24) << bundleId;
        }
    }
    const auto* player = row(*view, "org.example.Player")->findChild<QLabel*>();
    EXPECT_EQ(player->pixmap().toImage().pixelColor(8, 8), QColor(Qt::red));
}

TEST_F(Popover, ManyDevicesScrollInsideTheListWhileHeaderAndFooterStay) {
    const auto* quit = view->findChild<ui::FooterButtonRow*>("quit");
    const QPoint footerBefore = quit->mapTo(view.get(), QPoint());
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_TRUE(
            sim::addDevice({.uid = "Extra:" + n, .name = "Extra " + n, .outputChannels = 2}));
    }
    settle();
    expectShowsModel();
    const auto* scroll = view->findChild<QScrollArea*>();
    EXPECT_LE(scroll->height(), 360);
    EXPECT_GT(scroll->widget()->height(), scroll->viewport()->height());
    EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
    EXPECT_EQ(quit->mapTo(view.get(), QPoint()), footerBefore);
    EXPECT_LE(quit->mapTo(view.get(), QPoint()).y() + quit->height(), view->height());
}

TEST_F(Popover, FooterRowsAskForTheSettingsAndToQuit) {
    auto* settings = view->findChild<ui::FooterButtonRow*>("settings");
    auto* quit = view->findChild<ui::FooterButtonRow*>("quit");
    EXPECT_EQ(settings->text(), QString::fromUtf8("Settings\u2026"));
    EXPECT_EQ(settings->toolTip(), settings->text());
    EXPECT_EQ(quit->toolTip(), "Quit");
    EXPECT_GE(quit->height(), 28);
    QSignalSpy settingsRequested(view.get(), &ui::MenuBarView::settingsRequested);
    QSignalSpy quitRequested(view.get(), &ui::MenuBarView::quitRequested);
    QTest::mouseClick(settings, Qt::LeftButton, {}, QPoint(settings->width() - 5, 5));
    EXPECT_EQ(settingsRequested.count(), 1);
    EXPECT_EQ(quitRequested.count(), 0);
    QTest::mouseClick(quit, Qt::LeftButton);
    EXPECT_EQ(quitRequested.count(), 1);
}

// Every symbol the views name is drawn by the application's own set, device symbols included; a
// drawn symbol has ink in its colour, an unknown one still shows its placeholder.
TEST(Symbols, EveryNameTheViewsUseHasAnImage) {
    for (const char* name : {"External Headphones", "AirPods Pro", "Bluetooth Speaker",
                             "Subtle Speaker", "LG HDMI", "Studio Display", "MacBook Pro Speakers"})
        EXPECT_TRUE(
            ui::hasSymbol(QString::fromStdString(routing::AudioDevice{.name = name}.iconName())))
            << name;
    for (const char* symbol : {"pencil", "target", "minus.circle", "speaker.fill",
                               "speaker.wave.3.fill", "gearshape", "power"})
        EXPECT_TRUE(ui::hasSymbol(symbol)) << symbol;
    EXPECT_FALSE(ui::hasSymbol("no.such.symbol"));
    for (const char* symbol : {"headphones", "no.such.symbol"}) {
        const QImage image = ui::symbolPixmap(symbol, 24, Qt::blue).toImage();
        int inked = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                inked += image.pixelColor(x, y).alpha() > 128 ? 1 : 0;
        EXPECT_GT(inked, 20) << symbol;
    }
}

TEST(PercentText, IsTheVolumeTimesAHundredCutTowardsZero) {
    const std::pair<float, const char*> cases[] = {{1.0f, "100%"}, {0.999f, "99%"}, {0.755f, "75%"},
                                                   {0.0f, "0%"},   {0.5f, "50%"},   {NAN, "0%"},
                                                   {2.0f, "100%"}, {-1.0f, "0%"}};
    for (const auto& [volume, text] : cases)
        EXPECT_EQ(ui::percentText(volume), text) << volume;
}

// Sliders: every value the user drags through reaches the model, also when the application
// refresh comes in the middle of the drag and finds a new application: the rows are rebuilt
// only once the drag is over.
class Sliders : public PopoverTest {
protected:
    void dragThrough(QSlider& slider, const std::function<float()>& modelValue,
                     const std::string& late) {
        QPointer<QSlider> guard(&slider);
        QPoint at = handleCentre(slider);
        QTest::mousePress(&slider, Qt::LeftButton, {}, at);
        ASSERT_TRUE(slider.isSliderDown());
        std::set<int> seen;
        for (int step = 0; step < 8; ++step) {
            if (step == 4) {
                launch(late);
                tick();
                processEvents();
                ASSERT_FALSE(guard.isNull()) << "the slider was rebuilt under the drag";
                EXPECT_EQ(row(*view, late), nullptr) << "rebuilt during the drag";
            }
            at.setX(std::max(0, at.x() - slider.width() / 10));
            QTest::mouseMove(&slider, at);
            processEvents();
            EXPECT_TRUE(slider.isSliderDown());
            EXPECT_FLOAT_EQ(modelValue(), slider.value() / 1000.0f) << "step " << step;
            seen.insert(slider.value());
        }
        EXPECT_GE(seen.size(), 6u);
        QTest::mouseRelease(&slider, Qt::LeftButton, {}, at);
        processEvents();
        EXPECT_NE(row(*view, late), nullptr);
    }
};

TEST_F(Sliders, ApplicationAndMasterVolumesFollowEveryValueOfADrag) {
    dragThrough(
        *row(*view, kMusic)->findChild<QSlider*>("volume"), [this] { return app(kMusic)->volume; },
        "org.example.One");
    EXPECT_EQ(label(*row(*view, kMusic), "percent")->text(), ui::percentText(app(kMusic)->volume));
    dragThrough(
        *section(*view, kSpeakersUid)->findChild<QSlider*>("masterVolume"),
        [this] { return device(kSpeakersUid)->masterVolume; }, "org.example.Two");
}

TEST_F(Sliders, ClosingThePopoverInTheMiddleOfADragLetsTheRowsChangeAgain) {
    auto* slider = row(*view, kMusic)->findChild<QSlider*>("volume");
    QTest::mousePress(slider, Qt::LeftButton, {}, handleCentre(*slider));
    ASSERT_TRUE(slider->isSliderDown());
    view->hide(); // the release goes nowhere
    model->moveApp(kMusic, kHeadsetUid);
    processEvents();
    view->show();
    processEvents();
    EXPECT_NE(section(*view, kHeadsetUid), nullptr);
    EXPECT_EQ(uidsOf(sections(*view)), uids(model->usedDevices()));
    QTest::mouseRelease(view.get(), Qt::LeftButton); // QTest's own record of the button
}

// Drops onto a device: each dropped identifier is moved there, in order.
class Drops : public PopoverTest {
protected:
    bool drop(QWidget& target, const std::string& text) {
        QMimeData data;
        data.setText(QString::fromStdString(text));
        const QPoint at(target.width() / 2, target.height() / 2);
        QDragEnterEvent enter(at, Qt::MoveAction, &data, Qt::LeftButton, {});
        QCoreApplication::sendEvent(&target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(QPointF(at), Qt::MoveAction, &data, Qt::LeftButton, {});
        QCoreApplication::sendEvent(&target, &dropped);
        processEvents();
        return dropped.isAccepted();
    }
};

TEST_F(Drops, ItemsDroppedOntoADeviceMoveThereAndNothingToMoveIsRefused) {
    EXPECT_FALSE(drop(*inactiveRow(*view, kHeadsetUid), ""));
    EXPECT_FALSE(drop(*inactiveRow(*view, kHeadsetUid), "\n\n"));
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kSpeakersUid));
    ASSERT_TRUE(drop(*inactiveRow(*view, kHeadsetUid), kMusic + "\n" + kPodcasts + "\r\n"));
    EXPECT_EQ(app(kMusic)->deviceUid, kHeadsetUid);
    EXPECT_EQ(app(kPodcasts)->deviceUid, kHeadsetUid);
    ASSERT_NE(section(*view, kHeadsetUid), nullptr);
    EXPECT_THAT(bundleIdsOf(rows(*section(*view, kHeadsetUid))),
                ::testing::UnorderedElementsAre(kMusic, kPodcasts));
    // Onto a section, and again onto the device it is on.
    model->moveApp(kMusic, kSpeakersUid);
    processEvents();
    ASSERT_NE(section(*view, kHeadsetUid), nullptr) << "Podcasts keeps the headset in use";
    for (int twice = 0; twice < 2; ++twice) {
        ASSERT_TRUE(drop(*section(*view, kHeadsetUid), kMusic));
        EXPECT_EQ(app(kMusic)->deviceUid, kHeadsetUid);
    }
}

// A real drag needs a platform that has drag and drop: ctest runs this one again on Xvfb.
TEST_F(Drops, DraggingARowCarriesItsBundleIdentifierToTheDevice) {
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "the offscreen platform has no drag and drop";
    auto* source = row(*view, kPodcasts);
    auto* target = inactiveRow(*view, kHDMIUid);
    QPointer<ui::AppRouteRow> guard(source);
    const QPoint start(source->width() / 3, source->height() / 2);
    // The drag runs its own loop: move onto the target and let go from inside it, after a
    // refresh that must not rebuild the dragged row.
    QTimer::singleShot(0, [&] {
        launch("org.example.Late");
        tick();
        QCoreApplication::processEvents();
        EXPECT_FALSE(guard.isNull());
        const QPoint over = target->mapTo(target->window(), QPoint(20, target->height() / 2));
        QTest::mouseMove(target->window()->windowHandle(), over);
        QTest::mouseRelease(target->window()->windowHandle(), Qt::LeftButton, {}, over);
    });
    QTest::mousePress(source, Qt::LeftButton, {}, start);
    QTest::mouseMove(source, start + QPoint(30, 0));
    processEvents();
    EXPECT_EQ(app(kPodcasts)->deviceUid, kHDMIUid);
    EXPECT_NE(section(*view, kHDMIUid), nullptr);
    EXPECT_NE(row(*view, "org.example.Late"), nullptr);
}

} // namespace
