#include "ui/Controls.h"

#include "ui/SymbolImages.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace sonarill::ui {

namespace {

constexpr int kSliderSteps = 1000;

} // namespace

SymbolView::SymbolView(QString name, int size, Tint tint, qreal opacity, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), tint_(tint), opacity_(opacity) {
    setFixedSize(size, size);
}

void SymbolView::setName(const QString& name) {
    if (name == name_)
        return;
    name_ = name;
    update();
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintSymbol(painter, name_, rect(), tintColor(palette(), tint_, opacity_));
}

ElidedLabel::ElidedLabel(const QFont& font, Tint tint, qreal opacity, QWidget* parent)
    : QWidget(parent), tint_(tint), opacity_(opacity) {
    setFont(font);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_)
        return;
    text_ = text;
    updateGeometry();
    update();
}

void ElidedLabel::setAlignment(Qt::Alignment alignment) {
    alignment_ = alignment;
    update();
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    const QMargins margins = contentsMargins();
    return {metrics.horizontalAdvance(text_) + 1 + margins.left() + margins.right(),
            metrics.height() + margins.top() + margins.bottom()};
}

QSize ElidedLabel::minimumSizeHint() const {
    // Room for the ellipsis alone: the row decides how much of the text fits.
    const QMargins margins = contentsMargins();
    const int ellipsis = fontMetrics().horizontalAdvance(QStringLiteral("…")) + 1;
    return {std::min(sizeHint().width(), ellipsis + margins.left() + margins.right()),
            sizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(tintColor(palette(), tint_, opacity_));
    const QRect box = contentsRect();
    const QString shown = fontMetrics().elidedText(text_, Qt::ElideRight, box.width());
    painter.drawText(box, static_cast<int>(alignment_), shown);
}

Divider::Divider(int leadingIndent, QWidget* parent)
    : QWidget(parent), leadingIndent_(leadingIndent) {
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Divider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect().adjusted(leadingIndent_, 0, 0, 0),
                     tintColor(palette(), Tint::primary, 0.12));
}

VolumeSlider::VolumeSlider(RebuildGate& gate, QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setRange(0, kSliderSteps);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QSlider::sliderPressed, this, [this, &gate] { pressed_.emplace(gate.hold()); });
    // The release's refresh comes on the next turn of the event loop, not inside this signal.
    connect(this, &QSlider::sliderReleased, this, [this] { pressed_.reset(); });
    connect(this, &QSlider::valueChanged, this, [this] { emit volumeChanged(volume()); });
}

void VolumeSlider::setVolume(float volume) {
    if (isSliderDown())
        return;
    const float limited = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
    const QSignalBlocker quiet(this);
    setValue(static_cast<int>(std::lround(limited * kSliderSteps)));
}

// A popover closed in the middle of a drag never sees the release: end the drag here, or the
// rows would stay held until the next press.
void VolumeSlider::hideEvent(QHideEvent* event) {
    setSliderDown(false);
    QSlider::hideEvent(event);
}

float VolumeSlider::volume() const {
    return static_cast<float>(value()) / kSliderSteps;
}

TintedPanel::TintedPanel(qreal opacity, QWidget* parent) : QWidget(parent), opacity_(opacity) {}

void TintedPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), tintColor(palette(), Tint::secondary, opacity_));
}

} // namespace sonarill::ui
