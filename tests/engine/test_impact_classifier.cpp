#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "engine/sensing/impact_classifier.h"
#include "tests/support/motion_fixtures.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

constexpr std::uint64_t kT0 = 1000 * kTicksPerMs;

// Resting magnitude 1.0 at 1 kHz from 0.5 s to 2 s, with a strike of
// deviation 0.0715 at every whole 5 ms.
std::unique_ptr<TCARingBuffer> restingRingWithStrikes() {
    auto ring = makeRing();
    for (std::uint64_t ms = 500; ms <= 2000; ++ms) {
        writeMagnitude(ring.get(), ms * kTicksPerMs, ms % 5 == 0 ? 1.0715f : 1.0f);
    }
    return ring;
}

bool isPlaceholder(const ImpactResult& r, std::uint64_t key) {
    return r.samplesInWindow == 0 && r.peakTimestamp == key && r.tier == VelocityTier::soft &&
           r.velocity == 0.0f && r.rawPeak == 0.0f;
}

} // namespace

TEST(ImpactClassifier, NativeTierOutsideTheRangeBecomesSoft) {
    TCAImpactResult n{0.5f, 1.0f, 0.5f, 0.9f, 9, 77, 3};
    ImpactResult r = impactResultFromNative(n);
    EXPECT_EQ(r.tier, VelocityTier::soft);
    EXPECT_EQ(r.peakTimestamp, 77u);
    EXPECT_EQ(r.samplesInWindow, 3u);
    n.tier = 4;
    EXPECT_EQ(impactResultFromNative(n).tier, VelocityTier::slam);
}

TEST(AdaptivePeakClassifier, GapCountsFromTheLastClassifiedKey) {
    ScopedVirtualClock clock(2100 * kTicksPerMs);
    auto ring = restingRingWithStrikes();
    AdaptivePeakClassifier c{ImpactConfig()};
    const std::uint64_t keys[] = {kT0, kT0 + 10 * kTicksPerMs, kT0 + 25 * kTicksPerMs,
                                  kT0 + 30 * kTicksPerMs, kT0 + 45 * kTicksPerMs};
    const bool classified[] = {true, false, true, false, true}; // 45 = 25 + the gap exactly
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        const ImpactResult r = c.classify(keys[i], ring.get());
        if (classified[i]) {
            EXPECT_EQ(r.samplesInWindow, 31u) << i;
        } else {
            EXPECT_TRUE(isPlaceholder(r, keys[i])) << i;
        }
    }
    // An out-of-order key, earlier than the last classified one, is a placeholder.
    EXPECT_TRUE(
        isPlaceholder(c.classify(kT0 + 44 * kTicksPerMs, ring.get()), kT0 + 44 * kTicksPerMs));
}

TEST(AdaptivePeakClassifier, FirstKeyIsAlwaysClassifiedEvenAtTickZero) {
    ScopedVirtualClock clock(100 * kTicksPerMs);
    auto ring = makeRing();
    for (std::uint64_t ms = 0; ms <= 50; ++ms) {
        writeMagnitude(ring.get(), ms * kTicksPerMs, 1.0f);
    }
    AdaptivePeakClassifier c{ImpactConfig()};
    EXPECT_EQ(c.classify(0, ring.get()).samplesInWindow, 21u); // 0 .. 20 ms
    // A key at tick 0 counts as classified: the next one 5 ms later is inside the gap.
    EXPECT_TRUE(isPlaceholder(c.classify(5 * kTicksPerMs, ring.get()), 5 * kTicksPerMs));
}

TEST(AdaptivePeakClassifier, ZeroGapClassifiesEveryKeyAndHugeGapNeverWraps) {
    ScopedVirtualClock clock(2100 * kTicksPerMs);
    auto ring = restingRingWithStrikes();
    ImpactConfig config;
    config.minInterKeyGapMs = 0.0;
    AdaptivePeakClassifier zero{config};
    for (std::uint64_t k : {kT0, kT0, kT0 + 1}) {
        EXPECT_GT(zero.classify(k, ring.get()).samplesInWindow, 0u);
    }

    config.minInterKeyGapMs = 1e300; // the gap end lies beyond the 64-bit range
    AdaptivePeakClassifier huge{config};
    EXPECT_GT(huge.classify(kT0, ring.get()).samplesInWindow, 0u);
    const std::uint64_t farLater = ~std::uint64_t{0} - 1;
    EXPECT_TRUE(isPlaceholder(huge.classify(farLater, ring.get()), farLater));
    EXPECT_TRUE(
        isPlaceholder(huge.classify(kT0 + 500 * kTicksPerMs, ring.get()), kT0 + 500 * kTicksPerMs));
}

TEST(AdaptivePeakClassifier, RefreshesTheBaselineBeforeClassifyingAndPlaceholderCarriesIt) {
    ScopedVirtualClock clock(kT0 + 30 * kTicksPerMs);
    auto ring = restingRingWithStrikes();
    AdaptivePeakClassifier c{ImpactConfig()};
    const ImpactResult first = c.classify(kT0, ring.get());
    // The baseline moved from 0.002 towards the resting magnitude before the peak search.
    EXPECT_GT(first.baseline, 0.5f);
    const ImpactResult placeholder = c.classify(kT0 + kTicksPerMs, ring.get());
    EXPECT_EQ(placeholder.baseline, first.baseline);
    EXPECT_EQ(placeholder.peakTimestamp, kT0 + kTicksPerMs);
}

TEST(SimplePeakClassifier, ClassifiesEveryKeyWithTheSameBaselineUntilRefreshed) {
    ScopedVirtualClock clock(2100 * kTicksPerMs);
    auto ring = restingRingWithStrikes();
    SimplePeakClassifier c{ImpactConfig()};
    const ImpactResult a = c.classify(kT0, ring.get());
    const ImpactResult b = c.classify(kT0 + kTicksPerMs, ring.get()); // no gap test
    EXPECT_EQ(a.baseline, 0.002f);
    EXPECT_EQ(b.baseline, 0.002f);
    EXPECT_EQ(b.samplesInWindow, 31u);
    c.updateBaseline(ring.get());
    EXPECT_GT(c.classify(kT0, ring.get()).baseline, 0.5f);
}

TEST(ImpactClassifier, ReplacingTheConfigKeepsTheBaselineAndAppliesTheNewThresholds) {
    ScopedVirtualClock clock(kT0 + 30 * kTicksPerMs);
    auto ring = makeRing();
    for (std::uint64_t ms = 500; ms <= 1030; ++ms) {
        writeMagnitude(ring.get(), ms * kTicksPerMs, ms == 1004 ? 1.0715f : 1.0f);
    }
    SimplePeakClassifier c{ImpactConfig()};
    for (int i = 0; i < 20; ++i) {
        c.updateBaseline(ring.get());
    }
    const ImpactResult before = c.classify(kT0, ring.get());
    ASSERT_EQ(before.tier, VelocityTier::hard); // velocity ≈ 0.574

    ImpactConfig raised = c.config();
    raised.hardThreshold = 0.6f;
    raised.slamThreshold = 0.9f;
    c.setConfig(raised);
    EXPECT_EQ(c.config(), raised);
    const ImpactResult after = c.classify(kT0, ring.get());
    EXPECT_EQ(after.baseline, before.baseline);
    EXPECT_EQ(after.velocity, before.velocity);
    EXPECT_EQ(after.tier, VelocityTier::medium);
}

