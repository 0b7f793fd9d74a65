// The panel's compatibility check: each time the panel appears on a machine
// without the accelerometer, the incompatible window is opened, but only the
// first time in the process. With the sensor present nothing happens and the
// check stays armed, so it runs again the next time the panel appears.
//
// Threading: main thread.
#pragma once

#include <functional>

namespace clavio {

class CompatibilityCheck {
public:
    // `openIncompatible` opens the window "incompatible" and brings the
    // application forward.
    explicit CompatibilityCheck(std::function<void()> openIncompatible);

    // Returns true when this call opened the window.
    bool panelAppeared(bool sensorAvailable);
    bool didCheckCompat() const { return _didCheckCompat; }
    // As after a check: panelAppeared opens nothing from now on.
    void markChecked() { _didCheckCompat = true; }

private:
    std::function<void()> _openIncompatible;
    bool _didCheckCompat = false;
};

} // namespace clavio
