#include "ui/FooterButtonRow.h"

#include "ui/SymbolImages.h"

#include <QPainter>

namespace sonarill::ui {

namespace {

constexpr int kPadding = 16;
constexpr int kSymbolFrame = 16;
constexpr int kSpacing = 8;
constexpr int kMinimumHeight = 28;
constexpr int kTitleStart = kPadding + kSymbolFrame + kSpacing;

} // namespace

FooterButtonRow::FooterButtonRow(const QString& title, QString systemName, Tint foreground,
                                 const std::optional<QString>& help, QWidget* parent)
    : QAbstractButton(parent), systemName_(std::move(systemName)), foreground_(foreground) {
    setText(title);
    setFont(roleFont(FontRole::caption));
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setToolTip(help && !help->isEmpty() ? *help : title);
}

QSize FooterButtonRow::sizeHint() const {
    return {kTitleStart + fontMetrics().horizontalAdvance(text()) + kPadding,
            std::max(kMinimumHeight, fontMetrics().height())};
}

QSize FooterButtonRow::minimumSizeHint() const {
    return {kTitleStart + kPadding, sizeHint().height()};
}

void FooterButtonRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor tint = tintColor(palette(), foreground_);
    const QRectF symbolBox(kPadding + (kSymbolFrame - kSymbolSize) / 2.0,
                           (height() - kSymbolSize) / 2.0, kSymbolSize, kSymbolSize);
    paintSymbol(painter, systemName_, symbolBox, tint);
    painter.setPen(tint);
    const QRect titleBox(kTitleStart, 0, width() - kTitleStart - kPadding, height());
    painter.drawText(titleBox, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, titleBox.width()));
}

FooterDivider::FooterDivider(QWidget* parent) : Divider(kTitleStart, parent) {}

} // namespace sonarill::ui
