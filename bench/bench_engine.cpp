// Engine hot paths, each beside a reference measured in the same run:
// - ring write and window query against a plain, unsynchronised struct-array
//   ring doing the same work (what the per-slot sequence numbers and atomic
//   fields cost);
// - classification and baseline update against the bare window query they
//   start with (what the peak search, powf and the moving average add);
// - the crossfader against building a one-layer vector (its allocation floor).
//
// The pairs, as scripts/benchmarks.sh reads them:
// ratio: BM_tca_ring_write / BM_reference_naive_ring_write
// ratio: BM_tca_ring_query_window / BM_reference_naive_query_window
// ratio: BM_tca_impact_classify / BM_tca_ring_query_window
// ratio: BM_tca_impact_update_baseline / BM_reference_baseline_window_query
// ratio: BM_VelocityCrossfader_layers / BM_reference_one_layer_vector
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/pipeline/velocity_crossfader.h"
#include "engine/ports/clock.h"
#include "engine/sensing/impact_engine.h"
#include "engine/sensing/ring_buffer.h"

using namespace clavio;

namespace {

constexpr std::uint64_t kMs = 1'000'000; // ticks per millisecond
constexpr std::uint64_t kPre = 10 * kMs;
constexpr std::uint64_t kPost = 20 * kMs;

// The same ring without tear-freedom: plain fields, plain copies.
struct NaiveRing {
    std::uint32_t writeIndex = 0;
    std::uint64_t totalCount = 0;
    TCAMotionSample samples[kTCARingCapacity];
};

void naiveWrite(NaiveRing* r, std::uint64_t t, float x, float y, float z) {
    TCAMotionSample& s = r->samples[r->writeIndex];
    s.x = x;
    s.y = y;
    s.z = z;
    const float sumXY = x * x + y * y;
    s.magnitude = std::sqrt(sumXY + z * z);
    s.timestamp = t;
    r->writeIndex = (r->writeIndex + 1) % kTCARingCapacity;
    ++r->totalCount;
}

std::uint32_t naiveQuery(const NaiveRing* r, std::uint64_t centre, std::uint64_t before,
                         std::uint64_t after, TCAMotionSample* out, std::uint32_t capacity) {
    if (r->totalCount == 0 || capacity == 0) {
        return 0;
    }
    const std::uint64_t lower = before > centre ? 0 : centre - before;
    const std::uint64_t upper = centre + after;
    const std::uint32_t n = r->totalCount < kTCARingCapacity
                                ? static_cast<std::uint32_t>(r->totalCount)
                                : kTCARingCapacity;
    std::uint32_t slot = (r->writeIndex + kTCARingCapacity - n) % kTCARingCapacity;
    std::uint32_t copied = 0;
    for (std::uint32_t k = 0; k < n && copied < capacity; ++k) {
        const TCAMotionSample& s = r->samples[slot];
        if (s.timestamp >= lower && s.timestamp <= upper) {
            out[copied++] = s;
        }
        if (++slot == kTCARingCapacity) {
            slot = 0;
        }
    }
    return copied;
}

// Both rings full of 8 s of a 1 kHz stream: 1 g at rest with a strike every 250 ms.
float restingMagnitude(std::uint64_t i) {
    return i % 250 == 0 ? 1.07f : 1.0f;
}
constexpr std::uint64_t kNewest = kTCARingCapacity; // in milliseconds

std::unique_ptr<TCARingBuffer> fullRing() {
    auto ring = std::make_unique<TCARingBuffer>();
    tca_ring_init(ring.get());
    for (std::uint64_t i = 1; i <= kNewest; ++i) {
        tca_ring_write(ring.get(), i * kMs, restingMagnitude(i), 0.0f, 0.0f);
    }
    return ring;
}

std::unique_ptr<NaiveRing> fullNaiveRing() {
    auto ring = std::make_unique<NaiveRing>();
    for (std::uint64_t i = 1; i <= kNewest; ++i) {
        naiveWrite(ring.get(), i * kMs, restingMagnitude(i), 0.0f, 0.0f);
    }
    return ring;
}

// A key 50 ms before the newest sample, on a strike.
constexpr std::uint64_t kKey = (kNewest - 50) * kMs;

void BM_tca_ring_write(benchmark::State& state) {
    auto ring = fullRing();
    std::uint64_t t = kNewest;
    for (auto _ : state) {
        tca_ring_write(ring.get(), ++t * kMs, 0.01f, -0.02f, 1.0f);
    }
    benchmark::DoNotOptimize(ring->totalCount.load());
}
BENCHMARK(BM_tca_ring_write);

void BM_reference_naive_ring_write(benchmark::State& state) {
    auto ring = fullNaiveRing();
    std::uint64_t t = kNewest;
    for (auto _ : state) {
        naiveWrite(ring.get(), ++t * kMs, 0.01f, -0.02f, 1.0f);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(ring->totalCount);
}
BENCHMARK(BM_reference_naive_ring_write);

void BM_tca_ring_query_window(benchmark::State& state) {
    auto ring = fullRing();
    TCAMotionSample out[kTCAImpactWindowCapacity];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tca_ring_query_window(ring.get(), kKey, kPre, kPost, out, kTCAImpactWindowCapacity));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tca_ring_query_window);

void BM_reference_naive_query_window(benchmark::State& state) {
    auto ring = fullNaiveRing();
    TCAMotionSample out[kTCAImpactWindowCapacity];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            naiveQuery(ring.get(), kKey, kPre, kPost, out, kTCAImpactWindowCapacity));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_reference_naive_query_window);

void BM_tca_impact_classify(benchmark::State& state) {
    auto ring = fullRing();
    TCAImpactState s;
    tca_impact_init(&s, nullptr);
    s.currentBaseline = 1.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tca_impact_classify(&s, ring.get(), kKey));
    }
}
BENCHMARK(BM_tca_impact_classify);

void BM_tca_impact_update_baseline(benchmark::State& state) {
    auto ring = fullRing();
    VirtualClock clock(kNewest * kMs);
    ClockSource* previous = setClockSource(&clock);
    TCAImpactState s;
    tca_impact_init(&s, nullptr);
    for (auto _ : state) {
        tca_impact_update_baseline(&s, ring.get());
        benchmark::DoNotOptimize(s.currentBaseline);
    }
    setClockSource(previous);
}
BENCHMARK(BM_tca_impact_update_baseline);

// The window the baseline update reads: 500 ms before now, the 256 oldest.
void BM_reference_baseline_window_query(benchmark::State& state) {
    auto ring = fullRing();
    TCAMotionSample out[kTCAImpactWindowCapacity];
    for (auto _ : state) {
        benchmark::DoNotOptimize(tca_ring_query_window(ring.get(), kNewest * kMs, 500 * kMs, 0, out,
                                                       kTCAImpactWindowCapacity));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_reference_baseline_window_query);

// Velocities cycling through single-layer and crossfaded regions.
constexpr float kVelocities[8] = {0.05f, 0.26f, 0.3f, 0.45f, 0.62f, 0.7f, 0.86f, 1.0f};

void BM_VelocityCrossfader_layers(benchmark::State& state) {
    std::size_t i = 0;
    for (auto _ : state) {
        auto layers = VelocityCrossfader::layers(kVelocities[i++ & 7], 0.3f, 0.6f, 0.85f, 0.1f);
        benchmark::DoNotOptimize(layers.data());
    }
}
BENCHMARK(BM_VelocityCrossfader_layers);

void BM_reference_one_layer_vector(benchmark::State& state) {
    std::size_t i = 0;
    for (auto _ : state) {
        std::vector<VelocityLayer> layers;
        layers.reserve(4);
        layers.push_back(VelocityLayer{VelocityTier::soft, kVelocities[i++ & 7]});
        benchmark::DoNotOptimize(layers.data());
    }
}
BENCHMARK(BM_reference_one_layer_vector);

} // namespace
