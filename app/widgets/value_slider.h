// A horizontal slider over a float range [0, maximum] in 1000 steps.
//
// The slider shows a value but never rewrites it: a value outside its range
// (a volume of 1.7 read from the settings file) puts the knob at the end,
// and only a value the user produces by moving the knob is reported, through
// valueEdited, continuously while dragging. Values set by the program
// (setShownValue) report nothing, so showing a value cannot clamp or save it.
//
// Threading: main thread.
#pragma once

#include <QSlider>

namespace clavio {

class ValueSlider : public QSlider {
    Q_OBJECT
public:
    static constexpr int kSteps = 1000;

    // `maximum` as its decimal (0.15), so round positions give round values.
    explicit ValueSlider(double maximum, QWidget* parent = nullptr);

    double maximumValue() const { return _maximum; }

    // Moves the knob to `value` (clamped to the range for display only).
    void setShownValue(float value);

    // The value of a knob position.
    float valueAt(int position) const;
    // The knob position of a value, clamped to the range.
    int positionOf(float value) const;

Q_SIGNALS:
    void valueEdited(float value);

private:
    double _maximum;
    bool _showing = false;
};

} // namespace clavio
