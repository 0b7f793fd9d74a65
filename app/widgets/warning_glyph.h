// A filled warning triangle with the exclamation mark cut out, drawn at a
// given size in a given colour (orange in the incompatible screen and the
// keyboard-access row).
//
// Threading: main thread.
#pragma once

#include <QColor>
#include <QWidget>

namespace clavio {

class WarningGlyph : public QWidget {
    Q_OBJECT
public:
    WarningGlyph(int size, QColor colour, QWidget* parent = nullptr);
    QSize sizeHint() const override { return QSize(_size, _size); }
    QColor colour() const { return _colour; }

    static void paint(QPainter& painter, const QRectF& box, const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int _size;
    QColor _colour;
};

} // namespace clavio
