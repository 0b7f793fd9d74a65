#include "app/widgets/toggle_switch.h"

#include <QPainter>

#include "app/widgets/app_style.h"

namespace clavio {

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setFixedSize(sizeHint());
}

void ToggleSwitch::setCheckedSilently(bool checked) {
    const bool wasBlocked = blockSignals(true);
    setChecked(checked);
    blockSignals(wasBlocked);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const double r = track.height() / 2;
    QColor fill = isChecked() ? style::green() : style::tertiaryText(palette());
    if (!isEnabled()) {
        fill.setAlphaF(0.4f);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(track, r, r);

    const double d = track.height() - 4;
    const double x = isChecked() ? track.right() - 2 - d : track.left() + 2;
    p.setBrush(QColor(255, 255, 255));
    p.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
    p.drawEllipse(QRectF(x, track.top() + 2, d, d));

    if (hasFocus()) {
        QPen ring(palette().color(QPalette::Highlight), 1.5);
        p.setPen(ring);
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), r + 1, r + 1);
    }
}

} // namespace clavio
