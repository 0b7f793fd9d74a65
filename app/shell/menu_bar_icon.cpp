#include "app/shell/menu_bar_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>
#include <cmath>

#include "app/widgets/app_style.h"

namespace clavio {

namespace {

// Whole-pixel measures for one size: the square's margin and frame, and the
// width of the "c" stroke. Keeping them integral puts the square's straight
// edges exactly on pixel boundaries, which is what makes 16 px look sharp.
struct Metrics {
    int margin;
    int frame;
    int stroke;
};

Metrics metricsFor(int size) {
    Metrics m{};
    m.margin = std::max(1, static_cast<int>(std::lround(size * 0.07)));
    m.frame = std::max(1, static_cast<int>(std::lround(size / 14.0)));
    m.stroke = std::max(2, static_cast<int>(std::lround(size / 9.0)));
    return m;
}

QPainterPath roundedSquare(const QRectF& r, double radius) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

const QColor kInk(28, 28, 30);
const QColor kSecondary(142, 142, 147);

} // namespace

QImage MenuBarIcon::render(bool soundEnabled, int size) {
    size = std::clamp(size, 8, 512);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);

    const Metrics m = metricsFor(size);
    const double side = size - 2 * m.margin;
    const QRectF outer(m.margin, m.margin, side, side);
    const QRectF inner = outer.adjusted(m.frame, m.frame, -m.frame, -m.frame);
    const double radius = 0.22 * side;
    const double innerRadius = std::max(0.0, radius - m.frame);

    const QColor letterColour = soundEnabled ? kInk : kSecondary;
    if (soundEnabled) {
        p.fillPath(roundedSquare(outer, radius), kInk);
        p.fillPath(roundedSquare(inner, innerRadius), style::lime());
    } else {
        p.fillPath(roundedSquare(outer, radius).subtracted(roundedSquare(inner, innerRadius)),
                   kSecondary);
    }

    // The "c": an arc open to the right, centred on the square. Drawn as a
    // stroke rather than a font glyph so it does not depend on the font's
    // hinting at tiny sizes.
    const double centre = size / 2.0;
    const double arcRadius = side * 0.3 - m.stroke / 2.0;
    QPen pen(letterColour, m.stroke, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF arcBox(centre - arcRadius, centre - arcRadius, 2 * arcRadius, 2 * arcRadius);
    p.drawArc(arcBox, 50 * 16, 260 * 16);
    p.end();
    return image;
}

QIcon MenuBarIcon::icon(bool soundEnabled) {
    QIcon icon;
    for (int size : kSizes) {
        icon.addPixmap(QPixmap::fromImage(render(soundEnabled, size)));
    }
    return icon;
}

} // namespace clavio
