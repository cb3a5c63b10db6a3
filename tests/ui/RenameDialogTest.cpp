// The rename dialog opened from the popover's pencil buttons: what it shows, its answers, and
// that refreshes while it is open neither rebuild the row nor misdirect the answer.

#include "UiTestSupport.h"
#include "ui/DeviceIconButton.h"
#include "ui/OutputDeviceRenameDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

namespace {

using namespace sonarill;
using namespace sonarill::testing;
using Dialog = ui::OutputDeviceRenameDialog;

void clickPencil(const QWidget& owner) {
    QTest::mouseClick(owner.findChild<ui::DeviceIconButton*>("rename"), Qt::LeftButton);
    processEvents();
}

using RenameDialog = PopoverTest;

// Each way to answer, after "Typed Name" was typed over the custom name "Before"; quitting the
// application while the dialog is open cancels.
TEST_F(RenameDialog, EachAnswerDoesItsOwnThing) {
    const struct {
        const char* answer;
        std::function<void(Dialog&)> give;
        std::optional<std::string> customName;
    } cases[] = {
        {"save", [](Dialog& d) { QTest::mouseClick(d.button(Dialog::save), Qt::LeftButton); },
         "Typed Name"},
        {"return", [](Dialog& d) { QTest::keyClick(d.nameField(), Qt::Key_Return); }, "Typed Name"},
        {"use system name",
         [](Dialog& d) { QTest::mouseClick(d.button(Dialog::useSystemName), Qt::LeftButton); },
         std::nullopt},
        {"cancel", [](Dialog& d) { QTest::mouseClick(d.button(Dialog::cancel), Qt::LeftButton); },
         "Before"},
        {"quit", [](Dialog&) { QCoreApplication::quit(); }, "Before"},
    };
    for (const auto& c : cases) {
        model->setCustomName(kSpeakersUid, "Before");
        processEvents();
        whenModalOpens<Dialog>([&](Dialog& dialog) {
            dialog.nameField()->setText("Typed Name");
            c.give(dialog);
        });
        QTimer::singleShot(0, [&] { clickPencil(*section(*view, kSpeakersUid)); });
        if (std::string(c.answer) == "quit")
            QApplication::exec();
        else
            processEvents();
        EXPECT_EQ(device(kSpeakersUid)->customName, c.customName) << c.answer;
    }
}

TEST_F(RenameDialog, ShowsTheSystemNameAndStartsWithTheShownName) {
    model->setCustomName(kHDMIUid, "Television");
    processEvents();
    bool opened = false;
    whenModalOpens<Dialog>([&](Dialog& dialog) {
        opened = true;
        EXPECT_EQ(dialog.findChild<QLabel*>("informative")->text(), "System name: LG HDMI");
        EXPECT_EQ(dialog.nameField()->text(), "Television");
        EXPECT_EQ(dialog.nameField()->placeholderText(), "LG HDMI");
        EXPECT_EQ(dialog.nameField()->size(), QSize(260, 24));
        EXPECT_TRUE(dialog.button(Dialog::save)->isDefault());
        EXPECT_EQ(dialog.focusWidget(), dialog.nameField());
        // The text as typed: trimming is the model's.
        dialog.nameField()->setText("  Den TV ");
        QTest::keyClick(dialog.nameField(), Qt::Key_Return);
    });
    clickPencil(*inactiveRow(*view, kHDMIUid));
    EXPECT_TRUE(opened);
    EXPECT_EQ(device(kHDMIUid)->displayName(), "Den TV");
    EXPECT_EQ(device(kSpeakersUid)->customName, std::nullopt);
}

TEST_F(RenameDialog, RefreshesWhileOpenLeaveTheRowsAndTheAnswerGoesToTheDevice) {
    QPointer<ui::DeviceSectionView> speakers = section(*view, kSpeakersUid);
    whenModalOpens<Dialog>([&](Dialog& dialog) {
        // The application refresh and a device change arrive while the dialog is open.
        ASSERT_TRUE(
            sim::launchApp({.bundleId = "org.example.Late", .name = "Late", .toneHz = 300}));
        model->moveApp(kMusic, kHeadsetUid);
        tick();
        processEvents();
        EXPECT_EQ(section(*view, kSpeakersUid), speakers.data());
        EXPECT_EQ(row(*view, "org.example.Late"), nullptr);
        dialog.nameField()->setText("Desk");
        QTest::mouseClick(dialog.button(Dialog::save), Qt::LeftButton);
    });
    clickPencil(*speakers);
    processEvents();
    EXPECT_EQ(device(kSpeakersUid)->customName, "Desk");
    EXPECT_NE(row(*view, "org.example.Late"), nullptr);
    EXPECT_EQ(uidsOf(sections(*view)), uids(model->usedDevices()));
}

} // namespace
