#include "ui/AppRouteRow.h"

#include "ui/AppIcons.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QDrag>
#include <QHBoxLayout>
#include <QMimeData>
#include <QMouseEvent>

#include <algorithm>

namespace sonarill::ui {

namespace {

constexpr int kIconSize = 16;

} // namespace

AppRouteRow::AppRouteRow(const routing::RoutedApp& app, routing::AudioRoutingViewModel& model,
                         RebuildGate& gate, QWidget* parent)
    : QWidget(parent), app_(app), model_(model), gate_(gate), icon_(new QLabel(this)),
      name_(new ElidedLabel(roleFont(FontRole::system12), Tint::primary, 1.0, this)),
      volume_(new VolumeSlider(gate, this)),
      percent_(new ElidedLabel(roleFont(FontRole::caption), Tint::secondary, 1.0, this)) {
    icon_->setFixedSize(kIconSize, kIconSize);
    icon_->hide();
    name_->setObjectName(QStringLiteral("name"));
    volume_->setObjectName(QStringLiteral("volume"));
    volume_->setFixedWidth(80);
    percent_->setObjectName(QStringLiteral("percent"));
    percent_->setFixedWidth(32);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(24, 3, 24, 3);
    layout->setSpacing(8);
    layout->addWidget(icon_);
    layout->addWidget(name_);
    layout->addStretch();
    layout->addWidget(volume_);
    layout->addWidget(percent_);

    connect(volume_, &VolumeSlider::volumeChanged, this,
            [this](float volume) { model_.setVolume(app_.bundleId, volume); });
    display(app, true);
}

bool AppRouteRow::display(const routing::RoutedApp& app, bool) {
    app_ = app;
    if (app.icon != shownIcon_) {
        shownIcon_ = app.icon;
        if (app.icon)
            // At least twice the size: sharp on high-density screens and in screenshots.
            icon_->setPixmap(applicationIcon(*app.icon).pixmap(QSize(kIconSize, kIconSize),
                                                               std::max(devicePixelRatioF(), 2.0)));
        icon_->setVisible(app.icon.has_value());
    }
    name_->setText(qText(app.name));
    volume_->setVolume(app.volume);
    percent_->setText(percentText(app.volume));
    return true;
}

void AppRouteRow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        pressPosition_ = event->position().toPoint();
    QWidget::mousePressEvent(event);
}

void AppRouteRow::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) &&
        (event->position().toPoint() - pressPosition_).manhattanLength() >=
            QApplication::startDragDistance())
        startDrag();
}

void AppRouteRow::startDrag() {
    auto* mime = new QMimeData;
    mime->setText(qText(app_.bundleId));
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    drag->setPixmap(grab());
    drag->setHotSpot(pressPosition_);
    // The drag runs its own event loop, in which refreshes keep coming: this row must still be
    // here, and still this application's, when it returns.
    const RebuildGate::Hold hold = gate_.hold();
    drag->exec(Qt::MoveAction);
}

} // namespace sonarill::ui
