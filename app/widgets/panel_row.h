// A plain, borderless button spanning a row of the panel: whatever widgets
// the row holds (a symbol, one or two lines of text) are its face, and the
// whole row answers a click. The row is highlighted under the pointer and
// when it was reached with the Tab key, like a menu entry.
//
// Threading: main thread.
#pragma once

#include <QAbstractButton>

class QHBoxLayout;

namespace clavio {

class PanelRow : public QAbstractButton {
    Q_OBJECT
public:
    explicit PanelRow(QWidget* parent = nullptr);

    // The row's content; child widgets added here let clicks through to the row.
    QHBoxLayout* content() const { return _content; }
    void addWidget(QWidget* widget, int stretch = 0, Qt::Alignment alignment = {});

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QHBoxLayout* _content;
    bool _hovered = false;
    bool _keyboardFocus = false; // focus reached with Tab: shown like hover
};

} // namespace clavio
