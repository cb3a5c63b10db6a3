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
void press(QPushButton* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

using RenameDialog = PopoverTest;

// The dialog names the system name and starts with the custom name "Before", typing focused;
// then each way to answer after "  Typed " was typed. Trimming is the model's; quitting the
// application while the dialog is open cancels.
TEST_F(RenameDialog, ShowsTheNamesAndEachAnswerDoesItsOwnThing) {
    const struct {
        const char* answer;
        std::function<void(Dialog&)> give;
        std::optional<std::string> customName;
    } cases[] = {
        {"save", [](Dialog& d) { press(d.button(Dialog::save)); }, "Typed"},
        {"return", [](Dialog& d) { QTest::keyClick(d.nameField(), Qt::Key_Return); }, "Typed"},
        {"use system name", [](Dialog& d) { press(d.button(Dialog::useSystemName)); },
         std::nullopt},
        {"cancel", [](Dialog& d) { press(d.button(Dialog::cancel)); }, "Before"},
        {"quit", [](Dialog&) { QCoreApplication::quit(); }, "Before"},
    };
    for (const auto& c : cases) {
        model->setCustomName(kHDMIUid, "Before");
        processEvents();
        whenModalOpens<Dialog>([&](Dialog& dialog) {
            EXPECT_EQ(dialog.findChild<QLabel*>("informative")->text(), "System name: LG HDMI");
            EXPECT_EQ(dialog.nameField()->text(), "Before");
            EXPECT_EQ(dialog.nameField()->placeholderText(), "LG HDMI");
            EXPECT_EQ(dialog.nameField()->size(), QSize(260, 24));
            EXPECT_TRUE(dialog.button(Dialog::save)->isDefault());
            EXPECT_EQ(dialog.focusWidget(), dialog.nameField());
            dialog.nameField()->setText("  Typed ");
            c.give(dialog);
        });
        QTimer::singleShot(0, [&] { clickPencil(*inactiveRow(*view, kHDMIUid)); });
        if (std::string(c.answer) == "quit")
            QApplication::exec();
        else
            processEvents();
        EXPECT_EQ(device(kHDMIUid)->customName, c.customName) << c.answer;
        EXPECT_EQ(device(kSpeakersUid)->customName, std::nullopt) << c.answer;
    }
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
        press(dialog.button(Dialog::save));
    });
    clickPencil(*speakers);
    processEvents();
    EXPECT_EQ(device(kSpeakersUid)->customName, "Desk");
    EXPECT_NE(row(*view, "org.example.Late"), nullptr);
    EXPECT_EQ(keys(sections(*view)), uids(model->usedDevices()));
}

} // namespace
