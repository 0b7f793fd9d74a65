#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/sensing/impact_engine.h"
#include "tests/support/motion_fixtures.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

constexpr std::uint64_t kKey = 1000 * kTicksPerMs; // a key struck at 1 s

// A state with the defaults and the given baseline.
TCAImpactState stateWithBaseline(float baseline, const TCAImpactConfig* config = nullptr) {
    TCAImpactState s;
    tca_impact_init(&s, config);
    s.currentBaseline = baseline;
    return s;
}

// A linear configuration: velocity == peak (deadzone 0, cap 1, gamma 1).
TCAImpactConfig linearConfig() {
    TCAImpactConfig c;
    tca_impact_config_defaults(&c);
    c.deadzone = 0.0f;
    c.hardCap = 1.0f;
    c.compressGamma = 1.0f;
    return c;
}

// Classifies a single sample of the given magnitude at the key's timestamp.
TCAImpactResult classifyOne(TCAImpactState& s, float magnitude) {
    auto ring = makeRing();
    writeMagnitude(ring.get(), kKey, magnitude);
    return tca_impact_classify(&s, ring.get(), kKey);
}

} // namespace

TEST(ImpactEngine, WorkedExampleWithTheDefaults) {
    auto ring = makeRing();
    // Resting samples around a strike whose largest deviation is 0.0715.
    for (std::uint64_t ms = 985; ms <= 1025; ++ms) {
        const float m = ms == 1004 ? 1.0715f : (ms == 1006 ? 0.96f : 1.001f);
        writeMagnitude(ring.get(), ms * kTicksPerMs, m);
    }
    TCAImpactState s = stateWithBaseline(1.0f);
    const TCAImpactResult r = tca_impact_classify(&s, ring.get(), kKey);
    EXPECT_EQ(r.samplesInWindow, 31u); // 990 ms .. 1020 ms, both ends included
    EXPECT_NEAR(r.rawPeak, 0.0715f, 1e-6f);
    EXPECT_EQ(r.score, r.rawPeak);
    EXPECT_EQ(r.baseline, 1.0f);
    EXPECT_EQ(r.peakTimestamp, 1004 * kTicksPerMs);
    EXPECT_NEAR(r.velocity, std::pow(0.5f, 0.8f), 1e-4f); // ≈ 0.574
    EXPECT_EQ(r.tier, 3u);                                // hard
    EXPECT_EQ(s.lastKeyTimestamp, kKey);
    EXPECT_EQ(s.currentBaseline, 1.0f); // classification never moves the baseline
}

TEST(ImpactEngine, DeadzoneAndHardCapEdges) {
    TCAImpactState s = stateWithBaseline(0.0f);
    TCAImpactResult r = classifyOne(s, 0.003f); // exactly the deadzone
    EXPECT_EQ(r.rawPeak, 0.003f);
    EXPECT_EQ(r.velocity, 0.0f);
    EXPECT_EQ(r.tier, 0u);

    r = classifyOne(s, std::nextafter(0.003f, 1.0f)); // just above it
    EXPECT_GT(r.velocity, 0.0f);
    EXPECT_EQ(r.tier, 1u);

    r = classifyOne(s, 0.14f); // the cap
    EXPECT_EQ(r.velocity, 1.0f);
    EXPECT_EQ(r.tier, 4u);
    r = classifyOne(s, 3.0f); // far above it: clamped, not beyond 1
    EXPECT_EQ(r.velocity, 1.0f);
    EXPECT_EQ(r.tier, 4u);
}

TEST(ImpactEngine, VelocityEqualToAThresholdBelongsToThatTier) {
    const TCAImpactConfig linear = linearConfig();
    TCAImpactState s = stateWithBaseline(0.0f, &linear);
    const struct {
        float peak;
        std::uint32_t tier;
    } cases[] = {{0.25f, 2}, {std::nextafter(0.25f, 0.0f), 1},
                 {0.55f, 3}, {std::nextafter(0.55f, 0.0f), 2},
                 {0.82f, 4}, {std::nextafter(0.82f, 0.0f), 3}};
    for (const auto& c : cases) {
        const TCAImpactResult r = classifyOne(s, c.peak);
        EXPECT_EQ(r.velocity, c.peak);
        EXPECT_EQ(r.tier, c.tier) << c.peak;
    }
    // Above the deadzone but below a raised soft threshold: silent.
    s.config.softThreshold = 0.3f;
    EXPECT_EQ(classifyOne(s, 0.2f).tier, 0u);
    // Thresholds out of order: the highest tier whose threshold is met wins.
    s.config.slamThreshold = 0.1f;
    EXPECT_EQ(classifyOne(s, 0.2f).tier, 4u);
}

TEST(ImpactEngine, HardCapAtOrBelowDeadzoneGivesVelocityZero) {
    for (float cap : {0.003f, 0.001f, -1.0f}) {
        TCAImpactConfig c;
        tca_impact_config_defaults(&c);
        c.hardCap = cap;
        TCAImpactState s = stateWithBaseline(0.0f, &c);
        const TCAImpactResult r = classifyOne(s, 0.5f);
        EXPECT_EQ(r.velocity, 0.0f) << cap;
        EXPECT_EQ(r.tier, 1u) << cap; // soft: above the deadzone, softThreshold 0
        EXPECT_FALSE(std::isnan(r.velocity));
    }
}

TEST(ImpactEngine, EmptyWindowGivesSoftAndLeavesTheStateAlone) {
    auto ring = makeRing();
    writeMagnitude(ring.get(), kKey - 11 * kTicksPerMs, 5.0f); // just before the window
    writeMagnitude(ring.get(), kKey + 21 * kTicksPerMs, 5.0f); // just after it
    TCAImpactConfig c;
    tca_impact_config_defaults(&c);
    c.highpassEnabled = true;
    TCAImpactState s = stateWithBaseline(0.7f, &c);
    s.hpPrevIn = 0.25f;
    s.hpPrevOut = 0.125f;
    s.lastKeyTimestamp = 42;

    for (const TCARingBuffer* r : {static_cast<const TCARingBuffer*>(ring.get()),
                                   static_cast<const TCARingBuffer*>(nullptr)}) {
        const TCAImpactResult res = tca_impact_classify(&s, r, kKey);
        EXPECT_EQ(res.samplesInWindow, 0u);
        EXPECT_EQ(res.tier, 1u);
        EXPECT_EQ(res.velocity, 0.0f);
        EXPECT_EQ(res.rawPeak, 0.0f);
        EXPECT_EQ(res.peakTimestamp, 0u);
        EXPECT_EQ(res.baseline, 0.7f);
        EXPECT_EQ(s.currentBaseline, 0.7f);
        EXPECT_EQ(s.hpPrevIn, 0.25f);
        EXPECT_EQ(s.hpPrevOut, 0.125f);
        EXPECT_EQ(s.lastKeyTimestamp, 42u);
    }
}

TEST(ImpactEngine, PeakSearchIsStrictEarliestWinsAndFlatWindowIsSilent) {
    auto ring = makeRing();
    for (std::uint64_t ms = 995; ms <= 1005; ++ms) {
        writeMagnitude(ring.get(), ms * kTicksPerMs, 1.0f);
    }
    TCAImpactState s = stateWithBaseline(1.0f);
    TCAImpactResult r = tca_impact_classify(&s, ring.get(), kKey);
    EXPECT_EQ(r.rawPeak, 0.0f);
    EXPECT_EQ(r.peakTimestamp, 0u); // nothing exceeded 0
    EXPECT_EQ(r.tier, 0u);
    EXPECT_EQ(r.samplesInWindow, 11u);

    // Equal deviations above and below the baseline: the earlier one wins.
    writeMagnitude(ring.get(), 1006 * kTicksPerMs, 1.5f);
    writeMagnitude(ring.get(), 1007 * kTicksPerMs, 0.5f);
    writeMagnitude(ring.get(), 1008 * kTicksPerMs, 1.5f);
    r = tca_impact_classify(&s, ring.get(), kKey);
    EXPECT_EQ(r.rawPeak, 0.5f);
    EXPECT_EQ(r.peakTimestamp, 1006 * kTicksPerMs);
}

TEST(ImpactEngine, OnlyThe256OldestSamplesOfACrowdedWindowAreExamined) {
    auto ring = makeRing();
    // 300 samples 0.1 ms apart inside the window; the strike is the 257th.
    const std::uint64_t first = kKey - 10 * kTicksPerMs;
    for (std::uint64_t i = 0; i < 300; ++i) {
        writeMagnitude(ring.get(), first + i * 100'000, i == 256 ? 2.0f : 1.01f);
    }
    TCAImpactState s = stateWithBaseline(1.0f);
    const TCAImpactResult r = tca_impact_classify(&s, ring.get(), kKey);
    EXPECT_EQ(r.samplesInWindow, 256u);
    EXPECT_NEAR(r.rawPeak, 0.01f, 1e-6f); // the strike was not examined
    EXPECT_EQ(r.peakTimestamp, first);
}

TEST(ImpactEngine, HighPassIgnoresTheBaselineAndCarriesItsStateAcrossClassifications) {
    TCAImpactConfig c;
    tca_impact_config_defaults(&c);
    c.highpassEnabled = true;
    auto ring = makeRing();
    writeMagnitude(ring.get(), kKey, 1.0f);
    writeMagnitude(ring.get(), kKey + kTicksPerMs, 1.2f);
    TCAImpactState a = stateWithBaseline(0.0f, &c);
    TCAImpactState b = stateWithBaseline(123.0f, &c);
    const TCAImpactResult ra = tca_impact_classify(&a, ring.get(), kKey);
    EXPECT_EQ(tca_impact_classify(&b, ring.get(), kKey).rawPeak, ra.rawPeak);
    EXPECT_GT(ra.rawPeak, 0.5f) << "the step from rest (0) to 1 g passes the filter";
    EXPECT_EQ(a.hpPrevIn, 1.2f);
    // A much later key goes on from the last sample: the same magnitude
    // again is no step, and what passes is only the filter's decay.
    auto later = makeRing();
    writeMagnitude(later.get(), 5 * kKey, 1.2f);
    const float lastOut = a.hpPrevOut;
    const TCAImpactResult next = tca_impact_classify(&a, later.get(), 5 * kKey);
    EXPECT_GT(next.rawPeak, 0.0f);
    EXPECT_LT(next.rawPeak, std::fabs(lastOut));
    EXPECT_LT(next.rawPeak, ra.rawPeak);
}
TEST(ImpactEngine, BaselineUpdateMovesTowardsTheRecentWindowOnly) {
    ScopedVirtualClock clock(2000 * kTicksPerMs);
    auto ring = makeRing();
    writeMagnitude(ring.get(), 1400 * kTicksPerMs, 50.0f); // older than 500 ms: ignored
    for (std::uint64_t i = 0; i < 10; ++i) {
        writeMagnitude(ring.get(), (1500 + 50 * i) * kTicksPerMs, 1.0f + 0.01f * float(i));
    }
    writeMagnitude(ring.get(), 2001 * kTicksPerMs, 50.0f); // after now: ignored
    TCAImpactState s = stateWithBaseline(0.002f);
    tca_impact_update_baseline(&s, ring.get());
    EXPECT_GT(s.currentBaseline, 0.05f);
    EXPECT_LT(s.currentBaseline, 0.2f) << "ten samples at alpha 0.01 close about a tenth of the gap";
    const float moved = s.currentBaseline;
    // Nothing in the window (or no ring): unchanged.
    clock.set(5000 * kTicksPerMs);
    tca_impact_update_baseline(&s, ring.get());
    tca_impact_update_baseline(&s, nullptr);
    EXPECT_EQ(s.currentBaseline, moved);
}
TEST(ImpactEngine, BaselineUpdateUsesOnlyThe256OldestSamplesAndClosesMostOfTheGap) {
    ScopedVirtualClock clock(1000 * kTicksPerMs);
    auto ring = makeRing();
    // 400 samples of magnitude 1 in the last 400 ms, then 0 magnitudes that
    // would pull the average down if they were read.
    for (std::uint64_t i = 0; i < 400; ++i) {
        writeMagnitude(ring.get(), (600 + i) * kTicksPerMs, i < 256 ? 1.0f : 0.0f);
    }
    TCAImpactState s = stateWithBaseline(0.002f);
    tca_impact_update_baseline(&s, ring.get());
    // 1 − 0.99^256 ≈ 0.924 of the gap from 0.002 to 1.
    EXPECT_GT(s.currentBaseline, 0.92f) << "the zeros past the 256th sample were read";
}
