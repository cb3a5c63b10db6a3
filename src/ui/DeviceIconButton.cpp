#include "ui/DeviceIconButton.h"

#include "ui/SymbolImages.h"
#include "ui/Theme.h"

#include <QPainter>

namespace sonarill::ui {

namespace {

constexpr int kFrame = 20;

} // namespace

DeviceIconButton::DeviceIconButton(QString systemName, const QString& help, QWidget* parent)
    : QAbstractButton(parent), systemName_(std::move(systemName)) {
    setFixedSize(kFrame, kFrame);
    setFocusPolicy(Qt::NoFocus);
    setToolTip(help);
}

QSize DeviceIconButton::sizeHint() const {
    return {kFrame, kFrame};
}

void DeviceIconButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor tint = isEnabled() ? tintColor(palette(), Tint::accent)
                                    : tintColor(palette(), Tint::secondary, 0.35);
    const QRectF box((kFrame - kSymbolSize) / 2.0, (kFrame - kSymbolSize) / 2.0, kSymbolSize,
                     kSymbolSize);
    paintSymbol(painter, systemName_, box, tint);
}

} // namespace sonarill::ui
