// Accelerometer reports into the motion ring, checked against a plain model.
// The input is a little program: each step decodes a report (of any length)
// and writes it, writes it many times (so small inputs wrap the ring), queries
// a window, reads the newest sample or classifies a key. Every result must
// match what a plain list of the last kTCARingCapacity writes gives.
// fuzz-max-len: 8192
#include <fuzzer/FuzzedDataProvider.h>

#include "engine/sensing/accel_report.h"
#include "engine/sensing/impact_engine.h"
#include "engine/sensing/ring_buffer.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;

namespace {

struct Written {
    std::uint64_t timestamp;
    AccelAxes axes;
};

bool sameFloat(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

bool sameSample(const TCAMotionSample& s, const Written& w) {
    const float sumXY = w.axes.x * w.axes.x + w.axes.y * w.axes.y;
    return s.timestamp == w.timestamp && sameFloat(s.x, w.axes.x) && sameFloat(s.y, w.axes.y) &&
           sameFloat(s.z, w.axes.z) &&
           sameFloat(s.magnitude, std::sqrt(sumXY + w.axes.z * w.axes.z));
}

class Model {
public:
    void write(TCARingBuffer* ring, std::uint64_t t, const AccelAxes& a) {
        tca_ring_write(ring, t, a.x, a.y, a.z);
        _written.push_back(Written{t, a});
        if (_written.size() > kTCARingCapacity) {
            _written.pop_front();
        }
        ++_total;
    }

    void checkQuery(const TCARingBuffer* ring, std::uint64_t centre, std::uint64_t before,
                    std::uint64_t after, std::uint32_t capacity) const {
        std::vector<TCAMotionSample> out(capacity + 1);
        const std::uint32_t n =
            tca_ring_query_window(ring, centre, before, after, out.data(), capacity);
        CLAVIO_FUZZ_CHECK(n <= capacity);
        const std::uint64_t lower = before > centre ? 0 : centre - before;
        const std::uint64_t upper = after > UINT64_MAX - centre ? UINT64_MAX : centre + after;
        std::uint32_t k = 0;
        for (const Written& w : _written) {
            if (k == capacity) {
                break;
            }
            if (w.timestamp >= lower && w.timestamp <= upper) {
                CLAVIO_FUZZ_CHECK(k < n);
                CLAVIO_FUZZ_CHECK(sameSample(out[k], w));
                ++k;
            }
        }
        CLAVIO_FUZZ_CHECK(k == n);
    }

    void checkLatest(const TCARingBuffer* ring) const {
        TCAMotionSample s{};
        const bool got = tca_ring_latest(ring, &s);
        CLAVIO_FUZZ_CHECK(got == !_written.empty());
        CLAVIO_FUZZ_CHECK(!got || sameSample(s, _written.back()));
        CLAVIO_FUZZ_CHECK(tca_ring_total(ring) == _total);
    }

private:
    std::deque<Written> _written;
    std::uint64_t _total = 0;
};

float nearestG(const std::uint8_t* p) {
    std::int32_t raw;
    static_assert(std::endian::native == std::endian::little);
    std::memcpy(&raw, p, sizeof raw);
    return static_cast<float>(static_cast<double>(raw) / 65536.0);
}

AccelAxes decodeChecked(FuzzedDataProvider& in) {
    // Any length but 22 is refused and leaves the output alone.
    const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 2 * kAccelReportLength);
    const std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(length);
    AccelAxes axes{-7.0f, -7.0f, -7.0f};
    const bool ok = decodeAccelReport(bytes.data(), bytes.size(), &axes);
    CLAVIO_FUZZ_CHECK(ok == (bytes.size() == kAccelReportLength));
    if (!ok) {
        CLAVIO_FUZZ_CHECK(axes.x == -7.0f && axes.y == -7.0f && axes.z == -7.0f);
        return AccelAxes{};
    }
    // Each axis is the float nearest to its little-endian value / 65536.
    const float expected[3] = {nearestG(bytes.data() + 6), nearestG(bytes.data() + 10),
                               nearestG(bytes.data() + 14)};
    CLAVIO_FUZZ_CHECK(sameFloat(axes.x, expected[0]) && sameFloat(axes.y, expected[1]) &&
                      sameFloat(axes.z, expected[2]));
    // Below 256 g (24 bits) a float holds the value exactly, so encoding gives
    // the same bytes back.
    std::uint8_t again[kAccelReportLength];
    encodeAccelReport(axes.x, axes.y, axes.z, again);
    for (int axis = 0; axis < 3; ++axis) {
        CLAVIO_FUZZ_CHECK(std::fabs(expected[axis]) >= 256.0f ||
                          std::memcmp(again + 6 + 4 * axis, bytes.data() + 6 + 4 * axis, 4) == 0);
    }
    return axes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One ring for the process; every input starts from a cleared ring.
    static auto* ring = new TCARingBuffer;
    tca_ring_init(ring);
    Model model;
    TCAImpactState state;
    tca_impact_init(&state, nullptr);

    FuzzedDataProvider in(data, size);
    std::uint64_t now = in.ConsumeIntegral<std::uint32_t>();
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: {
            const AccelAxes axes = decodeChecked(in);
            now += in.ConsumeIntegral<std::uint16_t>(); // time may also stand still
            model.write(ring, now, axes);
            break;
        }
        case 1: {
            const AccelAxes axes = decodeChecked(in);
            const int copies = in.ConsumeIntegralInRange<int>(1, 2 * kTCARingCapacity);
            const std::uint64_t step = in.ConsumeIntegralInRange<std::uint64_t>(0, 2'000'000);
            for (int i = 0; i < copies; ++i) {
                now += step;
                model.write(ring, now, axes);
            }
            break;
        }
        case 2: {
            // Centres near the written span, or anywhere (edges saturate).
            const std::uint64_t centre =
                in.ConsumeBool() ? now - in.ConsumeIntegralInRange<std::uint64_t>(0, now)
                                 : in.ConsumeIntegral<std::uint64_t>();
            const std::uint64_t before = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                                          : in.ConsumeIntegral<std::uint64_t>();
            const std::uint64_t after = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                                         : in.ConsumeIntegral<std::uint64_t>();
            const auto capacity = in.ConsumeIntegralInRange<std::uint32_t>(0, 300);
            model.checkQuery(ring, centre, before, after, capacity);
            break;
        }
        case 3:
            model.checkLatest(ring);
            break;
        case 4: {
            state.config.highpassEnabled = in.ConsumeBool();
            const std::uint64_t key = now - in.ConsumeIntegralInRange<std::uint64_t>(0, now);
            const TCAImpactResult r = tca_impact_classify(&state, ring, key);
            CLAVIO_FUZZ_CHECK(r.tier <= 4);
            CLAVIO_FUZZ_CHECK(r.samplesInWindow <= kTCAImpactWindowCapacity);
            CLAVIO_FUZZ_CHECK(r.score == r.rawPeak ||
                              (std::isnan(r.score) && std::isnan(r.rawPeak)));
            if (std::isfinite(r.velocity)) {
                CLAVIO_FUZZ_CHECK(r.velocity >= 0.0f && r.velocity <= 1.0f);
            }
            break;
        }
        }
    }
    model.checkLatest(ring);
    return 0;
}
