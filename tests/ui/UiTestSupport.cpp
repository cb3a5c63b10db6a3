#include "UiTestSupport.h"

#include <QStyle>
#include <QStyleOptionSlider>

namespace sonarill::testing {

namespace {

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

template <typename W, typename Key>
W* find(const QWidget& view, const std::string& wanted, Key key) {
    for (W* candidate : inLayoutOrder<W>(view))
        if (key(*candidate) == wanted)
            return candidate;
    return nullptr;
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
std::vector<ui::AppRouteRow*> rows(const QWidget& view) {
    return inLayoutOrder<ui::AppRouteRow>(view);
}
ui::DeviceSectionView* section(const QWidget& view, const std::string& uid) {
    return find<ui::DeviceSectionView>(view, uid, [](const auto& w) { return w.device().uid; });
}
ui::InactiveDeviceRow* inactiveRow(const QWidget& view, const std::string& uid) {
    return find<ui::InactiveDeviceRow>(view, uid, [](const auto& w) { return w.device().uid; });
}
ui::AppRouteRow* row(const QWidget& view, const std::string& bundleId) {
    return find<ui::AppRouteRow>(view, bundleId, [](const auto& w) { return w.app().bundleId; });
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

QPoint handleCentre(const QSlider& slider) {
    QStyleOptionSlider option;
    option.initFrom(&slider);
    option.orientation = slider.orientation();
    option.minimum = slider.minimum();
    option.maximum = slider.maximum();
    option.sliderPosition = slider.sliderPosition();
    option.sliderValue = slider.value();
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
