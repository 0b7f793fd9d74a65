// Fonts and colours shared by the application's views. Sizes follow the
// desktop's own font so the views scale with the user's font setting; the
// ratios match the roles the views name (title, body, callout, caption).
//
// Threading: main thread (Qt GUI objects).
#pragma once

#include <QColor>
#include <QFont>

namespace clavio::style {

QFont titleFont();   // large, bold
QFont bodyFont();    // the desktop's font
QFont calloutFont(); // a little smaller than body
QFont captionFont(); // small print

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
