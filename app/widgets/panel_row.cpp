#include "app/widgets/panel_row.h"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QPainter>

namespace clavio {

PanelRow::PanelRow(QWidget* parent) : QAbstractButton(parent) {
    _content = new QHBoxLayout(this);
    _content->setContentsMargins(10, 5, 10, 5);
    _content->setSpacing(8);
    setFocusPolicy(Qt::TabFocus);
    // A button's role is Button, which its children would inherit and then
    // draw their text in ButtonText, ignoring the colours the panel gives
    // them. The row is part of the panel's surface instead.
    setBackgroundRole(QPalette::Window);
    setForegroundRole(QPalette::WindowText);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void PanelRow::addWidget(QWidget* widget, int stretch, Qt::Alignment alignment) {
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    _content->addWidget(widget, stretch, alignment);
}

QSize PanelRow::sizeHint() const {
    return _content->totalSizeHint();
}

void PanelRow::paintEvent(QPaintEvent*) {
    if (!isEnabled() || !(_hovered || isDown() || _keyboardFocus)) {
        return;
    }
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor highlight = palette().color(QPalette::Highlight);
    highlight.setAlphaF(isDown() ? 0.30f : 0.16f);
    p.setPen(Qt::NoPen);
    p.setBrush(highlight);
    p.drawRoundedRect(QRectF(rect()).adjusted(4, 1, -4, -1), 5, 5);
}

void PanelRow::enterEvent(QEnterEvent* event) {
    _hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void PanelRow::leaveEvent(QEvent* event) {
    _hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

} // namespace clavio

namespace clavio {

void PanelRow::focusInEvent(QFocusEvent* event) {
    _keyboardFocus =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    update();
    QAbstractButton::focusInEvent(event);
}

void PanelRow::focusOutEvent(QFocusEvent* event) {
    _keyboardFocus = false;
    update();
    QAbstractButton::focusOutEvent(event);
}

} // namespace clavio
