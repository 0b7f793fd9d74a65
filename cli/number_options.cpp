#include "cli/number_options.h"

#include <charconv>
#include <cmath>
#include <string>

namespace clavio::cli {

namespace {
std::string shortest(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}
} // namespace

CLI::Validator finiteRange(double low, double high, bool lowIncluded) {
    const std::string range = (lowIncluded ? "from " : "above ") + shortest(low) +
                              (lowIncluded ? " to " : ", up to ") + shortest(high);
    return CLI::Validator(
        [low, high, lowIncluded, range](std::string& text) -> std::string {
            double value = 0.0;
            const char* end = text.data() + text.size();
            const auto parsed = std::from_chars(text.data(), end, value);
            if (parsed.ec != std::errc() || parsed.ptr != end || !std::isfinite(value) ||
                value < low || (value == low && !lowIncluded) || value > high) {
                return "must be a number " + range + ", not " + text;
            }
            return {};
        },
        "NUMBER " + range);
}

CLI::Validator unsignedDigits() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
                return "must be a whole number, 0 or more, not " + text;
            }
            return {};
        },
        "UINT");
}

} // namespace clavio::cli
