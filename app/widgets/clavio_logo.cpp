#include "app/widgets/clavio_logo.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QtMath>

#include <cmath>

#include "app/widgets/app_style.h"

namespace clavio {

ClavioLogo::ClavioLogo(double size, QWidget* parent) : QWidget(parent), _size(size) {
    setFixedSize(sizeHint());
}

QSize ClavioLogo::sizeHint() const {
    const int side = qCeil(_size);
    return QSize(side, side);
}

ClavioLogo::Shapes ClavioLogo::shapes(double size) {
    Shapes s;
    s.square.addRoundedRect(QRectF(0, 0, size, size), 0.22 * size, 0.22 * size);

    // Outlines are taken at a fixed reference size and scaled, so the letter
    // is exactly 0.5 x size at any size (a font's pixel size is whole pixels).
    constexpr int kReference = 200;
    QFont font = QGuiApplication::font();
    font.setPixelSize(kReference);
    font.setBold(true);
    const QFontMetricsF metrics(font);
    const QString letter = QStringLiteral("c");
    const double letterAdvance = metrics.horizontalAdvance(letter);
    const double width = metrics.horizontalAdvance(QStringLiteral("c."));

    // Centred as a line of text: the advance horizontally, the line box
    // (ascent over descent) vertically.
    const double scale = 0.5 * size / kReference;
    const double left = (size / scale - width) / 2.0;
    const double baseline = (size / scale + metrics.ascent() - metrics.descent()) / 2.0;
    QPainterPath letterPath;
    letterPath.addText(QPointF(left, baseline), font, letter);
    QPainterPath dotPath;
    dotPath.addText(QPointF(left + letterAdvance, baseline), font, QStringLiteral("."));

    QTransform toSize;
    toSize.scale(scale, scale);
    s.letter = toSize.map(letterPath);
    s.dot = toSize.map(dotPath);
    return s;
}

void ClavioLogo::paint(QPainter& painter, double size) {
    const Shapes s = shapes(size);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.fillPath(s.square, Qt::black);
    painter.fillPath(s.letter, Qt::white);
    painter.fillPath(s.dot, style::lime());
    painter.restore();
}

QImage ClavioLogo::render(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paint(painter, pixels);
    return image;
}

void ClavioLogo::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paint(painter, _size);
}

} // namespace clavio
