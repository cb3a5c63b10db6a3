#pragma once

#include "support/ModelOnManualClock.h"
#include "support/QtApplication.h"
#include "ui/MenuBarView.h"

#include <QApplication>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The popover over the real model on the simulated audio system, and ways to reach its widgets.
namespace sonarill::testing {

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

} // namespace sonarill::testing
