#include "UiTestSupport.h"

#include <QStyle>
#include <QStyleOptionSlider>

namespace sonarill::testing {

namespace {

// The widgets of type W below `view`, in the order the layouts show them.
template <typename W> std::vector<W*> inLayoutOrder(const QWidget& view) {
    std::vector<W*> found;
    for (W* widget : view.findChildren<W*>())
        if (widget->isVisibleTo(&view))
            found.push_back(widget);
    std::sort(found.begin(), found.end(), [&](W* a, W* b) {
        return a->mapTo(&view, QPoint()).y() < b->mapTo(&view, QPoint()).y();
    });
    return found;
}

template <typename Views> std::vector<std::string> deviceUids(const Views& views) {
    std::vector<std::string> result;
    for (const auto* view : views)
        result.push_back(view->device().uid);
    return result;
}

} // namespace

void processEvents() {
    // Layout requests travel up one level of widgets per pass.
    for (int pass = 0; pass < 8; ++pass)
        QCoreApplication::processEvents();
}

std::vector<ui::DeviceSectionView*> sections(const QWidget& view) {
    return inLayoutOrder<ui::DeviceSectionView>(view);
}

std::vector<ui::InactiveDeviceRow*> inactiveRows(const QWidget& view) {
    return inLayoutOrder<ui::InactiveDeviceRow>(view);
}

std::vector<ui::AppRouteRow*> rows(const ui::DeviceSectionView& section) {
    return inLayoutOrder<ui::AppRouteRow>(section);
}

std::vector<std::string> uidsOf(const std::vector<ui::DeviceSectionView*>& views) {
    return deviceUids(views);
}

std::vector<std::string> uidsOf(const std::vector<ui::InactiveDeviceRow*>& views) {
    return deviceUids(views);
}

std::vector<std::string> bundleIdsOf(const std::vector<ui::AppRouteRow*>& views) {
    std::vector<std::string> result;
    for (const auto* view : views)
        result.push_back(view->app().bundleId);
    return result;
}

std::vector<std::string> bundleIdsOf(const std::vector<routing::RoutedApp>& apps) {
    std::vector<std::string> result;
    for (const auto& app : apps)
        result.push_back(app.bundleId);
    return result;
}

ui::DeviceSectionView* section(const QWidget& view, const std::string& uid) {
    for (auto* candidate : sections(view))
        if (candidate->device().uid == uid)
            return candidate;
    return nullptr;
}

ui::InactiveDeviceRow* inactiveRow(const QWidget& view, const std::string& uid) {
    for (auto* candidate : inactiveRows(view))
        if (candidate->device().uid == uid)
            return candidate;
    return nullptr;
}

ui::AppRouteRow* row(const QWidget& view, const std::string& bundleId) {
    for (auto* candidate : inLayoutOrder<ui::AppRouteRow>(view))
        if (candidate->app().bundleId == bundleId)
            return candidate;
    return nullptr;
}

QPoint handleCentre(const QSlider& slider) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = slider.sliderPosition();
    option.sliderValue = slider.value();
    option.singleStep = slider.singleStep();
    option.pageStep = slider.pageStep();
    option.upsideDown = slider.invertedAppearance();
    option.subControls = QStyle::SC_All;
    return slider.style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, &slider)
        .center();
}

void PopoverTest::SetUp() {
    start();
    view = std::make_unique<ui::MenuBarView>(*model);
    view->resize(320, 480);
    view->show();
    processEvents();
}

void PopoverTest::TearDown() {
    view.reset();
    ModelTest::TearDown();
}

} // namespace sonarill::testing
