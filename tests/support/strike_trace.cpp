#include "tests/support/strike_trace.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <tuple>

#include "engine/replay/session_trace.h"
#include "engine/sensing/accel_report.h"

namespace clavio::testing {

constexpr std::uint64_t kMs = 1'000'000;

bool StrikeTrace::write(const std::filesystem::path& path) const {
    std::vector<TraceRecord> records;
    if (withAccelerometer) {
        const auto count = std::uint64_t(std::llround(seconds * 1000.0));
        for (std::uint64_t i = 0; i <= count; ++i) {
            const std::uint64_t t = kStrikeTraceOrigin + i * kMs;
            double z = 1.0;
            for (const auto& s : strikes) {
                if (t == keyTicks(s) + 3 * kMs) {
                    z += s.amplitudeG;
                }
            }
            std::uint8_t report[kAccelReportLength];
            encodeAccelReport(0.0, 0.0, z, report);
            records.push_back(TraceRecord::makeAccel(t, report, sizeof report));
        }
    }
    if (withMicrophone) {
        constexpr std::uint32_t kRate = 48000;
        std::vector<float> block(240);
        std::uint32_t noise = 12345;
        const auto total = std::uint64_t(std::llround(seconds * kRate));
        for (std::uint64_t first = 0; first < total; first += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                const double t = double(first + i) / kRate;
                noise = noise * 1664525u + 1013904223u;
                double x = micNoise * (double(noise >> 8) / double(1u << 23) - 1.0);
                for (const auto& s : strikes) {
                    const double dt = t - s.atSeconds - 0.002;
                    if (dt >= 0.0 && dt < 0.008) {
                        x += s.amplitudeG * std::sin(2.0 * M_PI * 4000.0 * dt + 0.5) *
                             std::exp(-dt / 0.001);
                    }
                }
                block[i] = t < micSilentUntil    ? 0.0f
                           : t < micClippedUntil ? (i % 2 ? 1.0f : -1.0f)
                                                 : float(x);
            }
            records.push_back(TraceRecord::makeMic(ticks(double(first) / kRate), block.data(),
                                                   block.size(), kRate));
        }
    }
    for (const auto& s : strikes) {
        const std::uint64_t down = keyTicks(s);
        const std::uint64_t up = down + std::uint64_t(std::llround(s.holdSeconds * 1e9));
        records.push_back(TraceRecord::makeKey(down, {TraceKeyKind::down, s.code, 0, false}));
        if (s.repeatEverySeconds > 0.0) {
            const auto step = std::uint64_t(std::llround(s.repeatEverySeconds * 1e9));
            for (std::uint64_t t = down + step; t < up; t += step) {
                records.push_back(TraceRecord::makeKey(t, {TraceKeyKind::down, s.code, 0, true}));
            }
        }
        records.push_back(TraceRecord::makeKey(up, {TraceKeyKind::up, s.code, 0, false}));
    }
    // Time order; at one tick, reports before keys.
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return std::make_tuple(a.t, a.type == TraceRecord::Type::key) <
               std::make_tuple(b.t, b.type == TraceRecord::Type::key);
    });
    std::ofstream out(path, std::ios::binary);
    TraceWriter writer(out);
    for (const auto& r : records) {
        if (!writer.write(r)) {
            return false;
        }
    }
    out.flush();
    return writer.ok() && bool(out);
}

} // namespace clavio::testing
