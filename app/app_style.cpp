#include "app_style.h"

#include <QApplication>

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

} // namespace clavio::style
