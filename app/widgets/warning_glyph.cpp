#include "app/widgets/warning_glyph.h"

#include <QPainter>
#include <QPainterPath>

namespace clavio {

WarningGlyph::WarningGlyph(int size, QColor colour, QWidget* parent)
    : QWidget(parent), _size(size), _colour(colour) {
    setFixedSize(size, size);
}

void WarningGlyph::paint(QPainter& painter, const QRectF& box, const QColor& colour) {
    const double w = box.width();
    const double h = w * 0.88; // an equilateral-ish triangle, centred vertically
    const double top = box.top() + (box.height() - h) / 2.0;
    const QPointF apex(box.center().x(), top);
    const QPointF left(box.left(), top + h);
    const QPointF right(box.right(), top + h);

    QPainterPath triangle;
    triangle.moveTo(apex);
    triangle.lineTo(right);
    triangle.lineTo(left);
    triangle.closeSubpath();

    // Rounded corners come from stroking the outline with round joins.
    const double rounding = w * 0.12;
    QPainterPathStroker stroker;
    stroker.setWidth(rounding);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainterPath body = triangle.united(stroker.createStroke(triangle));
    QTransform shrink;
    shrink.translate(box.center().x(), top + h / 2);
    const double k = 1.0 - rounding / w;
    shrink.scale(k, k);
    shrink.translate(-box.center().x(), -(top + h / 2));
    body = shrink.map(body);

    QPainterPath mark;
    const double barW = w * 0.11;
    const double cx = box.center().x();
    mark.addRoundedRect(QRectF(cx - barW / 2, top + h * 0.33, barW, h * 0.36), barW / 2, barW / 2);
    mark.addEllipse(QPointF(cx, top + h * 0.8), barW * 0.62, barW * 0.62);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.fillPath(body.subtracted(mark), colour);
    painter.restore();
}

void WarningGlyph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, QRectF(rect()), _colour);
}

} // namespace clavio
