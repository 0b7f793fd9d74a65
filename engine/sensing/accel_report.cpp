#include "engine/sensing/accel_report.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace clavio {

namespace {
std::int32_t readLe32(const std::uint8_t* p) noexcept {
    const std::uint32_t v = std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) |
                            (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
    return static_cast<std::int32_t>(v);
}

void writeLe32(std::uint8_t* p, std::int32_t value) noexcept {
    const auto v = static_cast<std::uint32_t>(value);
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

std::int32_t toFixed(double g) noexcept {
    if (std::isnan(g)) {
        return 0;
    }
    const double raw = std::round(g * 65536.0);
    if (raw >= double(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (raw <= double(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(raw);
}
} // namespace

bool decodeAccelReport(const std::uint8_t* report, std::size_t length, AccelAxes* out) noexcept {
    if (length != kAccelReportLength || report == nullptr) {
        return false;
    }
    out->x = static_cast<float>(readLe32(report + 6)) * kAccelReportScale;
    out->y = static_cast<float>(readLe32(report + 10)) * kAccelReportScale;
    out->z = static_cast<float>(readLe32(report + 14)) * kAccelReportScale;
    return true;
}

void encodeAccelReport(double xG, double yG, double zG,
                       std::uint8_t out[kAccelReportLength]) noexcept {
    std::memset(out, 0, kAccelReportLength);
    writeLe32(out + 6, toFixed(xG));
    writeLe32(out + 10, toFixed(yG));
    writeLe32(out + 14, toFixed(zG));
}

} // namespace clavio
