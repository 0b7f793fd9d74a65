// The Sound tab's readouts: a value times 100, truncated toward zero to a
// whole number, then "%" ("±" in front for the variations). 0.999 shows
// "99%", 1.0 shows "100%", a value of 1.7 from the settings file "170%".
//
// The settings are 32-bit floats, and the float nearest a round percentage
// can lie just below it (0.03 is stored as 0.0299999993...). Truncating that
// blindly would show the default pitch variation as ±2%, so a product within
// a millionth of a whole number counts as that number; anything further
// below truncates as usual.
//
// Threading: any thread (pure).
#pragma once

#include <QString>

namespace clavio {

QString percentReadout(float value);
QString variationReadout(float value);

} // namespace clavio
