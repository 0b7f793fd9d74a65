// The 22-byte accelerometer input report: x, y and z as signed 32-bit
// little-endian integers at bytes 6, 10 and 14, in units of 1/65536 g.
// Every accelerometer source (hidraw as read, IIO and evdev converted) and
// every trace uses this one layout, so one decoder serves them all.
//
// Threading: pure functions; real-time safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace clavio {

inline constexpr std::size_t kAccelReportLength = 22;
inline constexpr float kAccelReportScale = 1.0f / 65536.0f; // 1.52587890625e-5

struct AccelAxes {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

// Decodes a report. Returns false, leaving `out` untouched, unless length is
// exactly kAccelReportLength.
bool decodeAccelReport(const std::uint8_t* report, std::size_t length, AccelAxes* out) noexcept;

// Encodes accelerations in g (rounded to the nearest 1/65536 g, clamped to
// the 32-bit range; NaN encodes as 0) into a zero-filled 22-byte report.
void encodeAccelReport(double xG, double yG, double zG,
                       std::uint8_t out[kAccelReportLength]) noexcept;

} // namespace clavio
