// Fonts and colours shared by the application's views. Sizes follow the
// desktop's own font so the views scale with the user's font setting; the
// ratios match the roles the views name (title, body, callout, caption).
//
// Threading: main thread (Qt GUI objects).
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

namespace clavio::style {

QFont titleFont();   // large, bold
QFont bodyFont();    // the desktop's font
QFont calloutFont(); // a little smaller than body
QFont captionFont(); // small print

// The panel's and the settings window's sizes are given for a 13 px system
// font; this scales `pixels` by the desktop font's pixel size over 13 and
// applies the weight (QFont::Medium, QFont::DemiBold, ...).
QFont scaledFont(double pixels, QFont::Weight weight = QFont::Normal);
// A length given for the 13 px system font, scaled the same way.
int scaledPixels(double pixels);

// Label colours of lesser rank, derived from the palette so they follow
// light and dark themes: text blended into the window background.
QColor secondaryText(const QPalette& palette);
QColor tertiaryText(const QPalette& palette);
// The grey of the "disabled" dot.
inline QColor grey() {
    return QColor(142, 142, 147);
}

inline QColor orange() {
    return QColor(255, 149, 0);
}
inline QColor red() {
    return QColor(255, 59, 48);
}
inline QColor green() {
    return QColor(52, 199, 89);
}
// The accent of the logo's dot.
inline QColor lime() {
    return QColor(200, 255, 62);
}

} // namespace clavio::style
