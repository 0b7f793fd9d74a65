// An on/off switch drawn as a pill with a sliding knob, for the settings
// window's forms. It is a checkable button: toggled(bool) reports user
// changes and programmatic ones alike; setCheckedSilently() changes what it
// shows without reporting.
//
// Threading: main thread.
#pragma once

#include <QAbstractButton>

namespace clavio {

class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);

    QSize sizeHint() const override { return QSize(38, 22); }
    void setCheckedSilently(bool checked);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace clavio
