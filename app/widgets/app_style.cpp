#include "app/widgets/app_style.h"

#include <QApplication>
#include <QFontInfo>

#include <algorithm>
#include <cmath>

namespace clavio::style {

namespace {
QFont scaled(double ratio, bool bold = false) {
    QFont font = QApplication::font();
    const double base = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(base * ratio);
    font.setBold(bold);
    return font;
}
} // namespace

QFont titleFont() {
    return scaled(1.7, true);
}
QFont bodyFont() {
    return scaled(1.0);
}
QFont calloutFont() {
    return scaled(0.92);
}
QFont captionFont() {
    return scaled(0.8);
}

namespace {
double fontScale() {
    const int systemPixels = QFontInfo(QApplication::font()).pixelSize();
    return systemPixels > 0 ? systemPixels / 13.0 : 1.0;
}
} // namespace

QFont scaledFont(double pixels, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPixelSize(std::max(6, static_cast<int>(std::lround(pixels * fontScale()))));
    font.setWeight(weight);
    return font;
}

int scaledPixels(double pixels) {
    return std::max(1, static_cast<int>(std::lround(pixels * fontScale())));
}

namespace {
QColor blend(const QColor& top, const QColor& bottom, double amount) {
    return QColor::fromRgbF(
        static_cast<float>(top.redF() * amount + bottom.redF() * (1 - amount)),
        static_cast<float>(top.greenF() * amount + bottom.greenF() * (1 - amount)),
        static_cast<float>(top.blueF() * amount + bottom.blueF() * (1 - amount)));
}
} // namespace

QColor secondaryText(const QPalette& palette) {
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.5);
}

QColor tertiaryText(const QPalette& palette) {
    return blend(palette.color(QPalette::WindowText), palette.color(QPalette::Window), 0.3);
}

} // namespace clavio::style
