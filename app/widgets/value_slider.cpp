#include "app/widgets/value_slider.h"

#include <cmath>

namespace clavio {

ValueSlider::ValueSlider(double maximum, QWidget* parent)
    : QSlider(Qt::Horizontal, parent), _maximum(maximum > 0 ? maximum : 1.0) {
    setRange(0, kSteps);
    setSingleStep(kSteps / 100);
    setPageStep(kSteps / 10);
    setTracking(true);
    connect(this, &QSlider::valueChanged, this, [this](int position) {
        if (!_showing) {
            Q_EMIT valueEdited(valueAt(position));
        }
    });
}

void ValueSlider::setShownValue(float value) {
    const int position = positionOf(value);
    if (position == this->value()) {
        return;
    }
    _showing = true;
    setValue(position);
    _showing = false;
}

float ValueSlider::valueAt(int position) const {
    // Computed from the step in double and rounded once to float, so the
    // positions of round values give those values as exactly as a float can
    // (position 30 of 1000 over 0..1 gives the float nearest 0.03).
    return static_cast<float>(_maximum * position / kSteps);
}

int ValueSlider::positionOf(float value) const {
    if (!std::isfinite(value) || value <= 0) {
        return value > 0 ? kSteps : 0; // +inf at the end; NaN and negatives at 0
    }
    const double position = std::round(static_cast<double>(value) / _maximum * kSteps);
    return position >= kSteps ? kSteps : static_cast<int>(position);
}

} // namespace clavio
