// The rename dialog opened from the popover's pencil buttons: what it shows, its answers, and
// that refreshes while it is open neither rebuild the rows nor misdirect the answer.

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

void press(QPushButton* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

using RenameDialog = PopoverTest;

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
