#include "app/widgets/symbol_glyph.h"

#include <QPainter>
#include <QPainterPathStroker>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace clavio {

namespace {

QPainterPath stroked(const QPainterPath& path, double width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(path);
}

QPainterPath ring(double s, double width) {
    QPainterPath outer;
    outer.addEllipse(QRectF(0, 0, s, s));
    QPainterPath inner;
    inner.addEllipse(QRectF(width, width, s - 2 * width, s - 2 * width));
    return outer.subtracted(inner);
}

// A speaker facing right, its back at x = left: a small box and a cone,
// with slightly rounded corners.
QPainterPath speakerBody(double s, double left) {
    QPainterPath body;
    body.addRect(QRectF(left, 0.37 * s, 0.15 * s, 0.26 * s));
    QPainterPath cone;
    cone.moveTo(left + 0.14 * s, 0.37 * s);
    cone.lineTo(left + 0.40 * s, 0.15 * s);
    cone.lineTo(left + 0.40 * s, 0.85 * s);
    cone.lineTo(left + 0.14 * s, 0.63 * s);
    cone.closeSubpath();
    const QPainterPath both = body.united(cone);
    return both.united(stroked(both, 0.05 * s));
}

// Arcs of the sound waves around the cone's mouth.
QPainterPath waves(double s, double centreX, int count) {
    QPainterPath arcs;
    const double step = 0.15 * s;
    for (int i = 0; i < count; ++i) {
        const double r = 0.14 * s + step * i;
        const QRectF box(centreX - r, 0.5 * s - r, 2 * r, 2 * r);
        arcs.arcMoveTo(box, 48);
        arcs.arcTo(box, 48, -96);
    }
    return stroked(arcs, 0.075 * s);
}

QPainterPath gear(double s) {
    const double c = s / 2;
    QPainterPath wheel;
    wheel.addEllipse(QPointF(c, c), 0.36 * s, 0.36 * s);
    const int teeth = 8;
    for (int i = 0; i < teeth; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-0.085 * s, -0.5 * s, 0.17 * s, 0.22 * s), 0.03 * s, 0.03 * s);
        QTransform turn;
        turn.translate(c, c);
        turn.rotate(360.0 * i / teeth);
        wheel = wheel.united(turn.map(tooth));
    }
    QPainterPath hole;
    hole.addEllipse(QPointF(c, c), 0.15 * s, 0.15 * s);
    return wheel.subtracted(hole);
}

} // namespace

SymbolGlyph::SymbolGlyph(Symbol symbol, int size, QColor colour, QWidget* parent)
    : QWidget(parent), _symbol(symbol), _size(size), _colour(colour) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void SymbolGlyph::setSymbol(Symbol symbol, QColor colour) {
    if (symbol == _symbol && colour == _colour) {
        return;
    }
    _symbol = symbol;
    _colour = colour;
    update();
}

QPainterPath SymbolGlyph::shape(Symbol symbol, double s) {
    QPainterPath path;
    switch (symbol) {
    case Symbol::dot:
        path.addEllipse(QRectF(0, 0, s, s));
        return path;
    case Symbol::circle:
        return ring(s, std::max(1.0, 0.09 * s));
    case Symbol::checkmarkCircle: {
        path.addEllipse(QRectF(0, 0, s, s));
        QPainterPath check;
        check.moveTo(0.28 * s, 0.52 * s);
        check.lineTo(0.44 * s, 0.68 * s);
        check.lineTo(0.73 * s, 0.36 * s);
        return path.subtracted(stroked(check, std::max(1.2, 0.12 * s)));
    }
    case Symbol::speaker:
        return speakerBody(s, 0.30 * s);
    case Symbol::speakerWave2:
        return speakerBody(s, 0.06 * s).united(waves(s, 0.46 * s, 2));
    case Symbol::speakerWave3:
        return speakerBody(s, 0.0).united(waves(s, 0.40 * s, 3));
    case Symbol::gear:
        return gear(s);
    case Symbol::infoCircle: {
        path = ring(s, std::max(1.0, 0.08 * s));
        path.addEllipse(QPointF(0.5 * s, 0.29 * s), 0.065 * s, 0.065 * s);
        path.addRoundedRect(QRectF(0.45 * s, 0.42 * s, 0.1 * s, 0.34 * s), 0.03 * s, 0.03 * s);
        return path;
    }
    }
    return path;
}

void SymbolGlyph::paint(QPainter& painter, const QRectF& box, Symbol symbol, const QColor& colour) {
    const double s = std::min(box.width(), box.height());
    QPainterPath path = shape(symbol, s);
    path.translate(box.left() + (box.width() - s) / 2, box.top() + (box.height() - s) / 2);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(path, colour);
    painter.restore();
}

QIcon SymbolGlyph::icon(Symbol symbol, const QColor& colour) {
    QIcon icon;
    for (int size : {16, 20, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(painter, QRectF(0, 0, size, size), symbol, colour);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void SymbolGlyph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, QRectF(rect()), _symbol, _colour);
}

} // namespace clavio
