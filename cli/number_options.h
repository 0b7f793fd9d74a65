// Checks of numeric command-line options. A value out of range or not a
// number (nan, inf, "1e3" for an integer, "-1" for a count CLI11 would
// otherwise wrap to 2^64 - 1) is a usage error, reported by CLI11 before the
// command runs, with its exit status for invalid values.
#pragma once

#include <CLI/CLI.hpp>

namespace clavio::cli {

// A finite number from `low` (or above it) to `high`.
CLI::Validator finiteRange(double low, double high, bool lowIncluded = true);
// Decimal digits only: no sign, no exponent.
CLI::Validator unsignedDigits();

} // namespace clavio::cli
