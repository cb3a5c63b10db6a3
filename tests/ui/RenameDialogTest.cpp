// The rename dialog opened from the popover's pencil buttons: its three answers, what it shows,
// and that refreshes while it is open neither rebuild the row nor misdirect the answer.

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

class RenameDialog : public PopoverTest {
protected:
    void clickPencil(const QWidget& owner) {
        QTest::mouseClick(owner.findChild<ui::DeviceIconButton*>("rename"), Qt::LeftButton);
        processEvents();
    }
};

TEST_F(RenameDialog, EachButtonDoesItsOwnThing) {
    struct Case {
        const char* name;
        Dialog::Choice choice;
        std::optional<std::string> expected;
    } cases[] = {
        {"save", Dialog::save, "Typed Name"},
        {"use system name", Dialog::useSystemName, std::nullopt},
        {"cancel", Dialog::cancel, "Before"},
    };
    for (const Case& c : cases) {
        model->setCustomName(kSpeakersUid, "Before");
        processEvents();
        whenModalOpens<Dialog>([&](Dialog& dialog) {
            dialog.nameField()->setText("Typed Name");
            QTest::mouseClick(dialog.button(c.choice), Qt::LeftButton);
        });
        clickPencil(*section(*view, kSpeakersUid));
        EXPECT_EQ(device(kSpeakersUid)->customName, c.expected) << c.name;
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
        // Return presses the default button with the text as typed: trimming is the model's.
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

TEST_F(RenameDialog, QuittingWhileOpenCancels) {
    model->setCustomName(kSpeakersUid, "Before");
    processEvents();
    whenModalOpens<Dialog>([&](Dialog& dialog) {
        dialog.nameField()->setText("Typed Name");
        QCoreApplication::quit();
    });
    QTimer::singleShot(0, [&] { clickPencil(*section(*view, kSpeakersUid)); });
    QApplication::exec();
    EXPECT_EQ(device(kSpeakersUid)->customName, "Before");
}

} // namespace
