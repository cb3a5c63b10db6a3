#pragma once

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QRectF>
#include <QString>

// The application's own small set of symbol images, one per symbol name the views use, drawn in
// one colour so that they take the tint of the palette role they stand for.
namespace sonarill::ui {

// The side of a symbol on a button: small beside a row's text, as the menu bar's own are.
inline constexpr int kSymbolSize = 12;

// Whether the set has an image for `name`.
bool hasSymbol(const QString& name);

// Draws the symbol to fill the square `box`; an unknown name draws a plain outlined square, so a
// missing image shows instead of leaving a gap.
void paintSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

// The symbol as a `size` × `size` point image at `devicePixelRatio`.
QPixmap symbolPixmap(const QString& name, int size, const QColor& color,
                     qreal devicePixelRatio = 1.0);

} // namespace sonarill::ui
