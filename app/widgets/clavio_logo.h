// The product logo: a black rounded square of side `size` (corner radius
// 0.22 x size) with, centred on it, a bold lower-case "c" in white followed by
// a bold "." in lime (200, 255, 62), both at 0.5 x size. The shapes are built
// once as outlines so the widget, the PNG icons and the SVG icon are the same
// drawing.
//
// Threading: main thread.
#pragma once

#include <QImage>
#include <QPainterPath>
#include <QWidget>

namespace clavio {

class ClavioLogo : public QWidget {
    Q_OBJECT
public:
    explicit ClavioLogo(double size = 64, QWidget* parent = nullptr);

    double logoSize() const { return _size; }
    QSize sizeHint() const override;

    struct Shapes {
        QPainterPath square;
        QPainterPath letter; // white
        QPainterPath dot;    // lime
    };
    // The logo's outlines in a size x size box with its origin at top left.
    static Shapes shapes(double size);
    static void paint(QPainter& painter, double size);
    static QImage render(int pixels);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double _size;
};

} // namespace clavio
