#pragma once

#include "support/ModelOnManualClock.h"
#include "ui/MenuBarView.h"

#include <QApplication>
#include <QSlider>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The popover over the real model on the simulated audio system, and ways to reach its widgets.
namespace sonarill::testing {

// Runs the refreshes the model scheduled.
void processEvents();

// The visible widgets of each kind below `view`, in the order the layouts show them, and the
// one that shows a device or an application.
std::vector<ui::DeviceSectionView*> sections(const QWidget& view);
std::vector<ui::InactiveDeviceRow*> inactiveRows(const QWidget& view);
std::vector<ui::AppRouteRow*> rows(const QWidget& view);
ui::DeviceSectionView* section(const QWidget& view, const std::string& uid);
ui::InactiveDeviceRow* inactiveRow(const QWidget& view, const std::string& uid);
ui::AppRouteRow* row(const QWidget& view, const std::string& bundleId);

template <typename Views> std::vector<std::string> uidsOf(const Views& views) {
    std::vector<std::string> result;
    for (const auto* view : views)
        result.push_back(view->device().uid);
    return result;
}
std::vector<std::string> bundleIdsOf(const std::vector<ui::AppRouteRow*>& views);
std::vector<std::string> bundleIdsOf(const std::vector<routing::RoutedApp>& apps);

// Where the slider's handle is now, in the slider's coordinates.
QPoint handleCentre(const QSlider& slider);

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
    explicit PopoverTest(sim::World world = worldWithDriver()) : ModelTest(std::move(world)) {}
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<ui::MenuBarView> view;
};

} // namespace sonarill::testing
