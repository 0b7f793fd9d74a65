#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "engine/sensing/ring_buffer.h"

using namespace clavio;

namespace {

std::unique_ptr<TCARingBuffer> makeRing() {
    auto ring = std::make_unique<TCARingBuffer>();
    tca_ring_init(ring.get());
    return ring;
}

std::uint32_t queryAll(const TCARingBuffer* ring, std::uint64_t centre, std::uint64_t before,
                       std::uint64_t after, std::vector<TCAMotionSample>& out) {
    return tca_ring_query_window(ring, centre, before, after, out.data(),
                                 static_cast<std::uint32_t>(out.size()));
}

} // namespace

TEST(RingBuffer, WriteComputesMagnitudeAndLatestIsNewest) {
    auto ring = makeRing();
    tca_ring_write(ring.get(), 100, 3.0f, 4.0f, 0.0f);
    tca_ring_write(ring.get(), 200, 0.0f, 0.0f, -1.0f);
    TCAMotionSample s;
    ASSERT_TRUE(tca_ring_latest(ring.get(), &s));
    EXPECT_EQ(s.timestamp, 200u);
    EXPECT_FLOAT_EQ(s.magnitude, 1.0f);
    std::vector<TCAMotionSample> out(4);
    ASSERT_EQ(queryAll(ring.get(), 100, 0, 0, out), 1u);
    EXPECT_FLOAT_EQ(out[0].magnitude, 5.0f);
}

TEST(RingBuffer, WrapAroundKeepsTheNewest8000InWriteOrder) {
    auto ring = makeRing();
    for (std::uint64_t t = 1; t <= 8000; ++t) {
        tca_ring_write(ring.get(), t, float(t), 0, 0);
    }
    EXPECT_EQ(ring->writeIndex.load(), 0u);
    std::vector<TCAMotionSample> out(kTCARingCapacity);
    ASSERT_EQ(queryAll(ring.get(), 0, 0, ~0ull, out), 8000u);
    EXPECT_EQ(out.front().timestamp, 1u); // slot 0 is the oldest
    EXPECT_EQ(out.back().timestamp, 8000u);

    tca_ring_write(ring.get(), 8001, 8001.0f, 0, 0);
    EXPECT_EQ(ring->writeIndex.load(), 1u);
    EXPECT_EQ(ring->totalCount.load(), 8001u);
    ASSERT_EQ(queryAll(ring.get(), 0, 0, ~0ull, out), 8000u);
    EXPECT_EQ(out.front().timestamp, 2u); // slot 1 is now the oldest
    EXPECT_EQ(out.back().timestamp, 8001u);
    TCAMotionSample s;
    ASSERT_TRUE(tca_ring_latest(ring.get(), &s));
    EXPECT_EQ(s.timestamp, 8001u);
    EXPECT_EQ(ring->samples[0].timestamp.load(), 8001u); // slot 0 holds the newest
}

TEST(RingBuffer, WindowBoundsAreInclusiveAndNeverWrap) {
    auto ring = makeRing();
    for (std::uint64_t t = 10; t <= 100; t += 10) {
        tca_ring_write(ring.get(), t, 0, 0, 1);
    }
    std::vector<TCAMotionSample> out(32);
    // centre 50, 20 before and 20 after: 30, 40, 50, 60, 70 (both edges included).
    ASSERT_EQ(queryAll(ring.get(), 50, 20, 20, out), 5u);
    EXPECT_EQ(out[0].timestamp, 30u);
    EXPECT_EQ(out[4].timestamp, 70u);
    // A span before the centre larger than the centre starts at tick 0.
    ASSERT_EQ(queryAll(ring.get(), 15, 1000, 0, out), 1u);
    EXPECT_EQ(out[0].timestamp, 10u);
    // An upper bound past the 64-bit range saturates instead of wrapping to a tiny window.
    EXPECT_EQ(queryAll(ring.get(), ~0ull - 5, ~0ull, 100, out), 10u);
}

TEST(RingBuffer, CapacityLimitsKeepTheOldestMatches) {
    auto ring = makeRing();
    for (std::uint64_t t = 1; t <= 50; ++t) {
        tca_ring_write(ring.get(), t, 0, 0, 1);
    }
    std::vector<TCAMotionSample> out(3);
    ASSERT_EQ(queryAll(ring.get(), 20, 5, 5, out), 3u);
    EXPECT_EQ(out[0].timestamp, 15u);
    EXPECT_EQ(out[2].timestamp, 17u);
    EXPECT_EQ(tca_ring_query_window(ring.get(), 20, 5, 5, out.data(), 0), 0u);
}

// One writer at full speed, several readers: no copied sample may mix the
// fields of two writes. Each write encodes its timestamp in x, y and z, so a
// torn copy shows up as a mismatch. Run under ThreadSanitizer in CI.
TEST(RingBuffer, ConcurrentReadersNeverSeeTornSamples) {
    auto ring = makeRing();
    constexpr std::uint64_t kWrites = 400'000;
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> torn{0};
    std::atomic<std::uint64_t> checked{0};

    auto reader = [&] {
        std::vector<TCAMotionSample> out(256);
        while (!done.load(std::memory_order_acquire)) {
            TCAMotionSample latest;
            if (!tca_ring_latest(ring.get(), &latest)) {
                continue;
            }
            // Ask for the window around the newest sample and, once the ring
            // has wrapped, for the oldest region, where the writer overwrites
            // slots mid-copy. (Before the wrap a window reaching back to tick
            // 0 may legitimately include a never-written, all-zero slot.)
            const std::uint64_t centres[2] = {latest.timestamp, latest.timestamp - 7990};
            const int windows = latest.timestamp > 2 * kTCARingCapacity ? 2 : 1;
            for (int w = 0; w < windows; ++w) {
                const std::uint64_t centre = centres[w];
                const auto n = queryAll(ring.get(), centre, 100, 100, out);
                for (std::uint32_t i = 0; i < n; ++i) {
                    const auto& s = out[i];
                    const float t = float(s.timestamp % 1000);
                    const float m = std::sqrt(t * t + (t + 1) * (t + 1) + (t + 2) * (t + 2));
                    if (s.x != t || s.y != t + 1 || s.z != t + 2 || s.magnitude != m) {
                        torn.fetch_add(1);
                    }
                }
                checked.fetch_add(n);
            }
        }
    };

    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back(reader);
    }
    // The writer outruns the readers' start-up on a loaded machine, so it
    // keeps writing until the readers have checked a fair number of copies.
    std::uint64_t written = 0;
    while (written < kWrites || checked.load() < 100'000) {
        const std::uint64_t t = ++written;
        const float v = float(t % 1000);
        tca_ring_write(ring.get(), t, v, v + 1, v + 2);
    }
    done.store(true, std::memory_order_release);
    for (auto& r : readers) {
        r.join();
    }
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_EQ(tca_ring_total(ring.get()), written);
}
