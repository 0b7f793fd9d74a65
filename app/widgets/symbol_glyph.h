// The small symbols of the panel and the settings window, drawn as vector
// shapes so they are sharp at any size and take the colour of their role
// (the desktop's icon themes have no common names for most of them).
//
// Threading: main thread.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPainterPath>
#include <QWidget>

namespace clavio {

enum class Symbol {
    dot,             // a filled circle (the enable row)
    circle,          // an outlined circle (an unselected pack)
    checkmarkCircle, // a filled circle with the check cut out (the selected pack)
    speaker,         // a speaker without waves (volume low end)
    speakerWave2,    // two waves (the Sound tab)
    speakerWave3,    // three waves (volume high end)
    gear,            // the General tab
    infoCircle,      // the About tab
};

class SymbolGlyph : public QWidget {
    Q_OBJECT
public:
    SymbolGlyph(Symbol symbol, int size, QColor colour, QWidget* parent = nullptr);

    Symbol symbol() const { return _symbol; }
    QColor colour() const { return _colour; }
    void setSymbol(Symbol symbol, QColor colour);

    QSize sizeHint() const override { return QSize(_size, _size); }

    // The shape in a box of side `size` at the origin, filled (odd-even
    // fill: holes are holes).
    static QPainterPath shape(Symbol symbol, double size);
    static void paint(QPainter& painter, const QRectF& box, Symbol symbol, const QColor& colour);
    // An icon with the symbol drawn at the usual small sizes, for tabs.
    static QIcon icon(Symbol symbol, const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Symbol _symbol;
    int _size;
    QColor _colour;
};

} // namespace clavio
