#include "app/services/compatibility_check.h"

namespace clavio {

CompatibilityCheck::CompatibilityCheck(std::function<void()> openIncompatible)
    : _openIncompatible(std::move(openIncompatible)) {}

bool CompatibilityCheck::panelAppeared(bool sensorAvailable) {
    if (_didCheckCompat || sensorAvailable) {
        return false;
    }
    _didCheckCompat = true;
    if (_openIncompatible) {
        _openIncompatible();
    }
    return true;
}

} // namespace clavio
