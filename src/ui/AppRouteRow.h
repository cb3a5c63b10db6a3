#pragma once

#include "routing/AudioRoutingViewModel.h"
#include "ui/Controls.h"
#include "ui/RebuildGate.h"

#include <QLabel>
#include <QPoint>
#include <QWidget>

namespace sonarill::ui {

// One application under its device: icon, name, volume slider and percentage. The row can be
// dragged onto another device; the drag carries the bundle identifier as plain text.
class AppRouteRow : public QWidget {
    Q_OBJECT
public:
    AppRouteRow(const routing::RoutedApp& app, routing::AudioRoutingViewModel& model,
                RebuildGate& gate, QWidget* parent = nullptr);
    bool display(const routing::RoutedApp& app, bool restructure);
    const routing::RoutedApp& app() const { return app_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void startDrag();

    routing::RoutedApp app_;
    routing::AudioRoutingViewModel& model_;
    RebuildGate& gate_;
    QLabel* icon_;
    ElidedLabel* name_;
    VolumeSlider* volume_;
    ElidedLabel* percent_;
    std::optional<std::string> shownIcon_;
    QPoint pressPosition_;
};

} // namespace sonarill::ui
