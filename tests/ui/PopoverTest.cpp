// The popover over the real model on the simulated audio system: which sections and rows each
// state shows, that rows are updated in place, what each control does to the model, and the
// rename dialog its pencil buttons open.

#include "support/ModelOnManualClock.h"
#include "support/QtApplication.h"
#include "ui/DeviceIconButton.h"
#include "ui/FooterButtonRow.h"
#include "ui/MenuBarView.h"
#include "ui/OutputDeviceRenameDialog.h"
#include "ui/SymbolImages.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using ::testing::ElementsAre;

// Runs the refreshes the model scheduled; layout requests travel up one level of widgets a pass.
inline void processEvents() {
    for (int pass = 0; pass < 8; ++pass)
        QCoreApplication::processEvents();
}

// What a view shows: a device's identifier, an application's bundle identifier.
inline std::string keyOf(const ui::DeviceView* view) {
    return view->device().uid;
}
inline std::string keyOf(const ui::AppRouteRow* view) {
    return view->app().bundleId;
}
inline std::string keyOf(const routing::RoutedApp& app) {
    return app.bundleId;
}
template <typename Items> std::vector<std::string> keys(const Items& items) {
    std::vector<std::string> result;
    for (const auto& item : items)
        result.push_back(keyOf(item));
    return result;
}

// The visible widgets of type W below `view`, top to bottom, and the one that shows `key`.
template <typename W> std::vector<W*> shown(const QWidget& view) {
    std::vector<W*> found;
    for (W* widget : view.findChildren<W*>())
        if (widget->isVisibleTo(&view))
            found.push_back(widget);
    std::sort(found.begin(), found.end(), [&](W* a, W* b) {
        return a->mapTo(&view, QPoint()).y() < b->mapTo(&view, QPoint()).y();
    });
    return found;
}
template <typename W> W* shown(const QWidget& view, const std::string& key) {
    for (W* widget : shown<W>(view))
        if (keyOf(widget) == key)
            return widget;
    return nullptr;
}
inline auto sections(const QWidget& view) {
    return shown<ui::DeviceSectionView>(view);
}
inline auto inactiveRows(const QWidget& view) {
    return shown<ui::InactiveDeviceRow>(view);
}
inline auto rows(const QWidget& view) {
    return shown<ui::AppRouteRow>(view);
}
inline auto* section(const QWidget& view, const std::string& uid) {
    return shown<ui::DeviceSectionView>(view, uid);
}
inline auto* inactiveRow(const QWidget& view, const std::string& uid) {
    return shown<ui::InactiveDeviceRow>(view, uid);
}
inline auto* row(const QWidget& view, const std::string& bundleId) {
    return shown<ui::AppRouteRow>(view, bundleId);
}

// Where the slider's handle is now, in the slider's coordinates.
inline QPoint handleCentre(const QSlider& slider) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = option.sliderValue = slider.value();
    return slider.style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &slider)
        .center();
}

// Runs `answer` on the modal dialog of type `Dialog` once it is open.
template <typename Dialog> void whenModalOpens(std::function<void(Dialog&)> answer) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            answer(*dialog);
        }
    });
    poll->start();
}

// A started model with the popover showing it at its real size.
class PopoverTest : public ModelTest {
protected:
    void SetUp() override {
        qtApplication();
        start();
        view = std::make_unique<ui::MenuBarView>(*model);
        view->resize(320, 480);
        view->show();
        processEvents();
    }
    void TearDown() override {
        view.reset();
        ModelTest::TearDown();
    }

    std::unique_ptr<ui::MenuBarView> view;
};

ui::ElidedLabel* label(const QWidget& owner, const char* name) {
    return owner.findChild<ui::ElidedLabel*>(QString::fromLatin1(name));
}
std::string text(const QWidget& owner, const char* name) {
    return label(owner, name)->text().toStdString();
}
void launch(const std::string& bundleId, const std::string& icon = {}) {
    ASSERT_TRUE(
        sim::launchApp({.bundleId = bundleId, .name = bundleId, .toneHz = 300, .icon = icon}));
}
void click(QWidget* widget) {
    QTest::mouseClick(widget, Qt::LeftButton);
    processEvents();
}
ui::DeviceIconButton* button(const QWidget& owner, const char* name) {
    return owner.findChild<ui::DeviceIconButton*>(QString::fromLatin1(name));
}
// The device buttons a user sees, by their tooltips; a disabled one is marked.
std::string buttons(const QWidget& owner) {
    std::string shown;
    for (const char* name : {"rename", "useOnly", "remove"})
        if (const auto* b = button(owner, name); b->isVisibleTo(&owner))
            shown += (b->isEnabled() ? "" : "(off) ") + b->toolTip().toStdString() + "; ";
    return shown;
}

// Whether `target` took a drop of `text`, offered to it and let go in its middle.
bool drop(QWidget& target, const std::string& text) {
    QMimeData data;
    data.setText(QString::fromStdString(text));
    const QPoint at(target.width() / 2, target.height() / 2);
    QDragEnterEvent enter(at, Qt::MoveAction, &data, Qt::LeftButton, {});
    QDropEvent dropped(QPointF(at), Qt::MoveAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(&target, &enter);
    if (enter.isAccepted())
        QCoreApplication::sendEvent(&target, &dropped);
    processEvents();
    return enter.isAccepted() && dropped.isAccepted();
}

class Popover : public PopoverTest {
protected:
    // The popover shows exactly the model's used devices with their applications, a hint where
    // one has none, then its unused devices, under a divider only when there are unused ones.
    void expectShowsModel() {
        processEvents();
        EXPECT_EQ(keys(sections(*view)), uids(model->usedDevices()));
        for (const auto* shown : sections(*view)) {
            const auto apps = model->apps(shown->device().uid);
            EXPECT_EQ(keys(rows(*shown)), keys(apps)) << shown->device().uid;
            EXPECT_EQ(label(*shown, "dropHint")->isVisibleTo(shown), apps.empty());
        }
        EXPECT_EQ(keys(inactiveRows(*view)), uids(model->unusedDevices()));
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
        expectShowsModel();
        EXPECT_EQ(keys(sections(*view)), used);
        EXPECT_EQ(keys(inactiveRows(*view)), unused);
    };
    expectShown({kSpeakersUid}, {kHeadsetUid, kHDMIUid});
    launch("org.example.Player");
    tick();
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

// Names, percentages and the name's tooltip, which names the system name only when it is not
// the one shown; a change updates the same rows, a move makes the moved row anew.
TEST_F(Popover, RowsShowNamesAndPercentAndAreUpdatedInPlace) {
    QPointer<ui::DeviceSectionView> speakers = section(*view, kSpeakersUid);
    QPointer<ui::AppRouteRow> music = row(*view, kMusic), podcasts = row(*view, kPodcasts);
    QPointer<ui::InactiveDeviceRow> hdmi = inactiveRow(*view, kHDMIUid);
    EXPECT_EQ(text(*speakers, "name") + " " + text(*speakers, "percent"),
              "MacBook Pro Speakers 100%");
    EXPECT_EQ(text(*music, "name") + " " + text(*music, "percent"), "Music 100%");
    EXPECT_EQ(label(*hdmi, "name")->toolTip(), "LG HDMI");
    model->setVolume(kMusic, 0.25f);
    model->setMasterVolume(kSpeakersUid, 0.5f);
    model->setCustomName(kHDMIUid, "Television");
    processEvents();
    EXPECT_EQ(section(*view, kSpeakersUid), speakers.data());
    EXPECT_EQ(row(*view, kMusic), music.data());
    EXPECT_EQ(inactiveRow(*view, kHDMIUid), hdmi.data());
    EXPECT_EQ(text(*music, "percent"), "25%");
    EXPECT_EQ(music->findChild<QSlider*>("volume")->value(), 250);
    EXPECT_EQ(text(*speakers, "percent"), "50%");
    EXPECT_EQ(text(*hdmi, "name"), "Television");
    EXPECT_EQ(label(*hdmi, "name")->toolTip(), "System name: LG HDMI");
    model->moveApp(kMusic, kHeadsetUid);
    processEvents();
    EXPECT_TRUE(music.isNull());
    EXPECT_EQ(row(*view, kPodcasts), podcasts.data());
    EXPECT_EQ(section(*view, kSpeakersUid), speakers.data());
    EXPECT_TRUE(hdmi);
}

// Which device buttons show, whether they can be pressed, and what a click does: the last
// output in use cannot be removed, an unused one offers removal only while it is enabled.
TEST_F(Popover, DeviceButtonsRemoveUseOnlyAndRename) {
    const std::string renameAndUseOnly = "Rename output; Use only this output; ";
    EXPECT_EQ(buttons(*section(*view, kSpeakersUid)),
              renameAndUseOnly + "(off) Add another output before removing this one; ");
    click(button(*section(*view, kSpeakersUid), "remove"));
    const auto* headset = inactiveRow(*view, kHeadsetUid);
    EXPECT_EQ(buttons(*headset), renameAndUseOnly);
    model->setDeviceEnabled(kHeadsetUid, true);
    processEvents();
    ASSERT_EQ(inactiveRow(*view, kHeadsetUid), headset);
    EXPECT_EQ(buttons(*headset), renameAndUseOnly + "Remove this output; ");
    click(button(*headset, "remove"));
    EXPECT_EQ(buttons(*headset), renameAndUseOnly);
    model->moveApp(kPodcasts, kHeadsetUid);
    processEvents();
    for (const auto* shown : sections(*view))
        EXPECT_EQ(buttons(*shown), renameAndUseOnly + "Remove this output; ");
    click(button(*section(*view, kHeadsetUid), "remove"));
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kSpeakersUid));
    expectShowsModel();
    click(button(*inactiveRow(*view, kHDMIUid), "useOnly"));
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kHDMIUid));
    expectShowsModel();
}

TEST_F(Popover, ADeviceInUseWithoutApplicationsAsksForThem) {
    // The model only settles into this for a moment; the section shows it all the same.
    ui::RebuildGate gate([] {});
    ui::DeviceSectionView headset(model->unusedDevices().front(), *model, gate);
    EXPECT_TRUE(label(headset, "dropHint")->isVisibleTo(&headset));
    EXPECT_EQ(text(headset, "dropHint"), "Drop apps here");
    EXPECT_TRUE(rows(headset).empty());
}

// An icon that cannot be read shows the generic one; without an icon the row begins with the
// name.
TEST_F(Popover, ApplicationRowsShowTheirIconOnlyWhenTheyHaveOne) {
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    const std::string png = (folder_.path() / "player.png").string();
    ASSERT_TRUE(red.save(QString::fromStdString(png)));
    launch("org.example.Player", png);
    launch("org.example.Broken", "/no/such/icon.png");
    tick();
    processEvents();
    const auto icon = [this](const std::string& bundleId) {
        return row(*view, bundleId)->findChild<QLabel*>();
    };
    EXPECT_FALSE(icon(kMusic)->isVisibleTo(view.get()));
    EXPECT_EQ(label(*row(*view, kMusic), "name")->x(), 24);
    EXPECT_EQ(icon("org.example.Player")->pixmap().toImage().pixelColor(8, 8), QColor(Qt::red));
    EXPECT_TRUE(icon("org.example.Broken")->isVisibleTo(view.get()));
    EXPECT_FALSE(icon("org.example.Broken")->pixmap().isNull());
}

// The footer stays in place below a list that scrolls, and its rows ask for the settings and to
// quit.
TEST_F(Popover, ManyDevicesScrollInsideTheListWhileTheFooterStaysAndAnswers) {
    auto* settings = view->findChild<ui::FooterButtonRow*>("settings");
    auto* quit = view->findChild<ui::FooterButtonRow*>("quit");
    const QPoint footerBefore = quit->mapTo(view.get(), QPoint());
    for (int i = 0; i < 12; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_TRUE(
            sim::addDevice({.uid = "Extra:" + n, .name = "Extra " + n, .outputChannels = 2}));
    }
    settle();
    expectShowsModel();
    // Eight play at once, one on each input pair: a ninth says why it takes no application.
    for (int i = 0; i < 7; ++i)
        model->setDeviceEnabled("Extra:" + std::to_string(i), true);
    processEvents();
    EXPECT_EQ(inactiveRow(*view, "Extra:7")->toolTip(),
              "Remove an output before adding this one: at most 8 play at once");
    EXPECT_FALSE(drop(*inactiveRow(*view, "Extra:7"), kMusic));
    const auto* scroll = view->findChild<QScrollArea*>();
    EXPECT_LE(scroll->height(), 360);
    EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
    EXPECT_EQ(quit->mapTo(view.get(), QPoint()), footerBefore);
    EXPECT_LE(footerBefore.y() + quit->height(), view->height());
    EXPECT_EQ(settings->toolTip(), QString::fromUtf8("Settings\u2026"));
    EXPECT_EQ(quit->toolTip(), "Quit");
    QSignalSpy settingsRequested(view.get(), &ui::MenuBarView::settingsRequested);
    QSignalSpy quitRequested(view.get(), &ui::MenuBarView::quitRequested);
    QTest::mouseClick(settings, Qt::LeftButton, {}, QPoint(settings->width() - 5, 5));
    EXPECT_EQ(settingsRequested.count(), 1);
    EXPECT_EQ(quitRequested.count(), 0);
    QTest::mouseClick(quit, Qt::LeftButton);
    EXPECT_EQ(quitRequested.count(), 1);
}

// Every symbol the views name is drawn by the application's own set, each device symbol the
// model names included; a drawn symbol has ink in its colour, an unknown one still shows its
// placeholder.
TEST(Symbols, EveryNameTheViewsUseHasAnImage) {
    qtApplication();
    for (const char* name :
         {"headphones", "airpodspro", "wave.3.right", "tv", "speaker.wave.2", "pencil", "target",
          "minus.circle", "speaker.fill", "speaker.wave.3.fill", "gearshape", "power"})
        EXPECT_TRUE(ui::hasSymbol(name)) << name;
    EXPECT_FALSE(ui::hasSymbol("no.such.symbol"));
    for (const char* symbol : {"headphones", "no.such.symbol"}) {
        const QImage alpha =
            ui::symbolPixmap(symbol, 24, Qt::blue)
                .toImage()
                .convertToFormat(QImage::Format_Alpha8); // rows of 24 bytes: no padding
        const auto* bytes = alpha.constBits();
        EXPECT_GT(
            std::count_if(bytes, bytes + alpha.sizeInBytes(), [](uchar a) { return a > 128; }), 20)
            << symbol;
    }
}

TEST(PercentText, IsTheVolumeTimesAHundredCutTowardsZero) {
    const std::pair<float, const char*> cases[] = {
        {1.0f, "100%"}, {0.999f, "99%"}, {NAN, "0%"}, {2.0f, "100%"}, {-1.0f, "0%"}};
    for (const auto& [volume, text] : cases)
        EXPECT_EQ(ui::percentText(volume), text) << volume;
}

// Sliders: every value the user drags through reaches the model, also when the application
// refresh comes in the middle of the drag and finds a new application: the rows are rebuilt
// only once the drag is over.
using Sliders = PopoverTest;

TEST_F(Sliders, ApplicationAndMasterVolumesFollowEveryValueOfADrag) {
    const auto dragThrough = [this](QSlider& slider, const std::function<float()>& modelValue,
                                    const std::string& late) {
        QPoint at = handleCentre(slider);
        QTest::mousePress(&slider, Qt::LeftButton, {}, at);
        std::set<int> seen;
        for (int step = 0; step < 8; ++step) {
            if (step == 4) {
                launch(late);
                tick();
                processEvents();
                ASSERT_EQ(row(*view, late), nullptr) << "the rows were rebuilt under the drag";
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
    };
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
    EXPECT_EQ(keys(sections(*view)), uids(model->usedDevices()));
    QTest::mouseRelease(view.get(), Qt::LeftButton); // QTest's own record of the button
}

// Drops onto a device: each dropped identifier is moved there, in order; nothing to move is
// refused.
using Drops = PopoverTest;

TEST_F(Drops, ItemsDroppedOntoADeviceMoveThereAndNothingToMoveIsRefused) {
    EXPECT_FALSE(drop(*inactiveRow(*view, kHeadsetUid), "\n\n"));
    EXPECT_THAT(uids(model->usedDevices()), ElementsAre(kSpeakersUid));
    ASSERT_TRUE(drop(*inactiveRow(*view, kHeadsetUid), kMusic + "\n" + kPodcasts + "\r\n"));
    ASSERT_NE(section(*view, kHeadsetUid), nullptr);
    EXPECT_THAT(keys(rows(*section(*view, kHeadsetUid))),
                ::testing::UnorderedElementsAre(kMusic, kPodcasts));
    // Onto a section.
    model->moveApp(kMusic, kSpeakersUid);
    processEvents();
    ASSERT_NE(section(*view, kHeadsetUid), nullptr) << "Podcasts keeps the headset in use";
    ASSERT_TRUE(drop(*section(*view, kHeadsetUid), kMusic));
    EXPECT_EQ(app(kMusic)->deviceUid, kHeadsetUid);
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

void press(QPushButton* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

using RenameDialog = PopoverTest;
using Dialog = ui::OutputDeviceRenameDialog;

// The dialog names the system name and starts with the custom name "Before", typing focused.
// While it is open an application starts and another device comes into use: the rows stay as
// they are until it closes. Then each way to answer after "  Typed " was typed: trimming is the
// model's; quitting the application while the dialog is open cancels.
TEST_F(RenameDialog, ShowsTheNamesAndEachAnswerDoesItsOwnThingToItsDevice) {
    const struct {
        std::string answer;
        std::function<void(Dialog&)> give;
        std::optional<std::string> customName;
    } cases[] = {
        {"save", [](Dialog& d) { press(d.button(Dialog::save)); }, "Typed"},
        {"return", [](Dialog& d) { QTest::keyClick(d.nameField(), Qt::Key_Return); }, "Typed"},
        {"useSystemName", [](Dialog& d) { press(d.button(Dialog::useSystemName)); }, std::nullopt},
        {"cancel", [](Dialog& d) { press(d.button(Dialog::cancel)); }, "Before"},
        {"quit", [](Dialog&) { QCoreApplication::quit(); }, "Before"},
    };
    for (const auto& c : cases) {
        model->moveApp(kMusic, kSpeakersUid);
        model->setCustomName(kHDMIUid, "Before");
        processEvents();
        QPointer<ui::InactiveDeviceRow> hdmi = inactiveRow(*view, kHDMIUid);
        const std::string late = "org.example." + c.answer;
        whenModalOpens<Dialog>([&](Dialog& dialog) {
            EXPECT_EQ(dialog.findChild<QLabel*>("informative")->text(), "System name: LG HDMI");
            EXPECT_EQ(dialog.nameField()->text(), "Before");
            EXPECT_EQ(dialog.nameField()->placeholderText(), "LG HDMI");
            EXPECT_EQ(dialog.nameField()->size(), QSize(260, 24));
            EXPECT_TRUE(dialog.button(Dialog::save)->isDefault());
            EXPECT_EQ(dialog.focusWidget(), dialog.nameField());
            ASSERT_TRUE(sim::launchApp({.bundleId = late, .name = late, .toneHz = 300}));
            model->moveApp(kMusic, kHeadsetUid);
            tick();
            processEvents();
            EXPECT_EQ(inactiveRow(*view, kHDMIUid), hdmi.data()) << c.answer;
            EXPECT_EQ(row(*view, late), nullptr) << c.answer;
            dialog.nameField()->setText("  Typed ");
            c.give(dialog);
        });
        QTimer::singleShot(0, [&] {
            QTest::mouseClick(hdmi->findChild<ui::DeviceIconButton*>("rename"), Qt::LeftButton);
        });
        if (c.answer == "quit")
            QApplication::exec();
        processEvents();
        EXPECT_EQ(device(kHDMIUid)->customName, c.customName) << c.answer;
        EXPECT_EQ(device(kHeadsetUid)->customName, std::nullopt) << c.answer;
        EXPECT_NE(row(*view, late), nullptr) << c.answer;
        EXPECT_EQ(keys(sections(*view)), uids(model->usedDevices()));
    }
}

} // namespace
