#include "app/views/readouts.h"

#include <algorithm>
#include <cmath>

namespace clavio {

namespace {

QString wholePercent(float value) {
    if (std::isnan(value)) {
        return QStringLiteral("?");
    }
    const double percent = static_cast<double>(value) * 100.0;
    if (std::isinf(percent)) {
        return percent > 0 ? QStringLiteral("∞") : QStringLiteral("-∞");
    }
    const double nearest = std::round(percent);
    const double tolerance = 1e-6 * std::max(1.0, std::fabs(percent));
    double whole = std::fabs(percent - nearest) <= tolerance ? nearest : std::trunc(percent);
    if (whole == 0.0) {
        whole = 0.0; // no "-0"
    }
    // Printed from the double: a huge value from the file never passes
    // through an int conversion.
    return QString::number(whole, 'f', 0);
}

} // namespace

QString percentReadout(float value) {
    return wholePercent(value) + QLatin1Char('%');
}

QString variationReadout(float value) {
    return QStringLiteral("±") + wholePercent(value) + QLatin1Char('%');
}

} // namespace clavio
