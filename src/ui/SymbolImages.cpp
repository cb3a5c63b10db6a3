#include "ui/SymbolImages.h"

#include <QPainterPath>
#include <QPolygonF>

#include <functional>
#include <map>

namespace sonarill::ui {

namespace {

// Each symbol is drawn on a 24 × 24 grid with a 2-unit line, the weight of a medium symbol.
using Draw = std::function<void(QPainter&)>;

void speakerBody(QPainter& p, qreal shift) {
    QPolygonF body;
    body << QPointF(2 + shift, 9) << QPointF(6 + shift, 9) << QPointF(12 + shift, 4)
         << QPointF(12 + shift, 20) << QPointF(6 + shift, 15) << QPointF(2 + shift, 15);
    p.save();
    p.setBrush(p.pen().color());
    p.drawPolygon(body);
    p.restore();
}

// Concentric arcs opening to the right around (cx, 12), the sound waves.
void waves(QPainter& p, qreal cx, int count) {
    for (int i = 1; i <= count; ++i) {
        const qreal r = 3.5 * i;
        p.drawArc(QRectF(cx - r, 12 - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
    }
}

const std::map<QString, Draw>& symbols() {
    static const std::map<QString, Draw> table = {
        {QStringLiteral("speaker.fill"), [](QPainter& p) { speakerBody(p, 5); }},
        {QStringLiteral("speaker.wave.2"),
         [](QPainter& p) {
             speakerBody(p, 0);
             waves(p, 12, 2);
         }},
        {QStringLiteral("speaker.wave.3.fill"),
         [](QPainter& p) {
             speakerBody(p, -1);
             waves(p, 10.5, 3);
         }},
        {QStringLiteral("wave.3.right"),
         [](QPainter& p) {
             p.save();
             p.setBrush(p.pen().color());
             p.drawEllipse(QPointF(5, 12), 1.5, 1.5);
             p.restore();
             waves(p, 5, 3);
         }},
        {QStringLiteral("headphones"),
         [](QPainter& p) {
             p.drawArc(QRectF(4, 3, 16, 18), 0, 180 * 16);
             p.drawLine(QPointF(4, 12), QPointF(4, 15));
             p.drawLine(QPointF(20, 12), QPointF(20, 15));
             p.save();
             p.setBrush(p.pen().color());
             p.drawRoundedRect(QRectF(3, 13, 5, 8), 2, 2);
             p.drawRoundedRect(QRectF(16, 13, 5, 8), 2, 2);
             p.restore();
         }},
        {QStringLiteral("airpodspro"),
         [](QPainter& p) {
             p.save();
             p.setBrush(p.pen().color());
             p.drawEllipse(QPointF(7, 8), 4, 4.5);
             p.drawEllipse(QPointF(17, 8), 4, 4.5);
             p.drawRoundedRect(QRectF(8, 10, 3, 11), 1.5, 1.5);
             p.drawRoundedRect(QRectF(13, 10, 3, 11), 1.5, 1.5);
             p.restore();
         }},
        {QStringLiteral("tv"),
         [](QPainter& p) {
             p.drawRoundedRect(QRectF(2, 4, 20, 13), 2, 2);
             p.drawLine(QPointF(8, 20.5), QPointF(16, 20.5));
         }},
        {QStringLiteral("pencil"),
         [](QPainter& p) {
             QPolygonF pencil;
             pencil << QPointF(16, 3.5) << QPointF(20.5, 8) << QPointF(8.5, 20) << QPointF(3, 21)
                    << QPointF(4, 15.5);
             p.drawPolygon(pencil);
             p.drawLine(QPointF(13.5, 6), QPointF(18, 10.5));
         }},
        {QStringLiteral("target"),
         [](QPainter& p) {
             p.drawEllipse(QPointF(12, 12), 9, 9);
             p.drawEllipse(QPointF(12, 12), 5, 5);
             p.save();
             p.setBrush(p.pen().color());
             p.drawEllipse(QPointF(12, 12), 1.5, 1.5);
             p.restore();
         }},
        {QStringLiteral("minus.circle"),
         [](QPainter& p) {
             p.drawEllipse(QPointF(12, 12), 9, 9);
             p.drawLine(QPointF(7.5, 12), QPointF(16.5, 12));
         }},
        {QStringLiteral("gearshape"),
         [](QPainter& p) {
             p.save();
             QPen teeth = p.pen();
             teeth.setWidthF(3.2);
             teeth.setCapStyle(Qt::FlatCap);
             p.setPen(teeth);
             for (int i = 0; i < 8; ++i) {
                 p.save();
                 p.translate(12, 12);
                 p.rotate(45.0 * i);
                 p.drawLine(QPointF(0, -7), QPointF(0, -10.5));
                 p.restore();
             }
             p.restore();
             p.drawEllipse(QPointF(12, 12), 6.5, 6.5);
             p.drawEllipse(QPointF(12, 12), 2.5, 2.5);
         }},
        {QStringLiteral("power"),
         [](QPainter& p) {
             p.drawArc(QRectF(4, 4.5, 16, 16), 125 * 16, -250 * 16);
             p.drawLine(QPointF(12, 2.5), QPointF(12, 11.5));
         }},
        // The generic application, for an application whose own icon cannot be found.
        {QStringLiteral("app"),
         [](QPainter& p) {
             p.drawRoundedRect(QRectF(3, 3, 18, 18), 4.5, 4.5);
             p.drawLine(QPointF(8, 15.5), QPointF(12, 7.5));
             p.drawLine(QPointF(12, 7.5), QPointF(16, 15.5));
             p.drawLine(QPointF(9.5, 12.5), QPointF(14.5, 12.5));
         }},
    };
    return table;
}

} // namespace

bool hasSymbol(const QString& name) {
    return symbols().count(name) != 0;
}

void paintSymbol(QPainter& painter, const QString& name, const QRectF& box, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(box.topLeft());
    painter.scale(box.width() / 24.0, box.height() / 24.0);
    QPen pen(color, 2.0);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const auto found = symbols().find(name);
    if (found != symbols().end())
        found->second(painter);
    else
        painter.drawRect(QRectF(4, 4, 16, 16));
    painter.restore();
}

QPixmap symbolPixmap(const QString& name, int size, const QColor& color, qreal devicePixelRatio) {
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintSymbol(painter, name, QRectF(0, 0, size, size), color);
    return pixmap;
}

} // namespace sonarill::ui
