// The motion ring, the impact engine, the classifiers over it, their
// configuration and the calibration of its thresholds.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/sensing/calibration.h"
#include "engine/sensing/impact_classifier.h"
#include "engine/sensing/impact_config.h"
#include "engine/sensing/impact_engine.h"
#include "tests/support/motion_fixtures.h"

using namespace clavio;
using namespace clavio::testing;
using nlohmann::json;

namespace {

// Timestamps of the samples the window query returns, at most `capacity`.
std::vector<std::uint64_t> window(const TCARingBuffer* ring, std::uint64_t centre,
                                  std::uint64_t before, std::uint64_t after,
                                  std::uint32_t capacity = kTCARingCapacity) {
    std::vector<TCAMotionSample> out(capacity);
    out.resize(tca_ring_query_window(ring, centre, before, after, out.data(), capacity));
    std::vector<std::uint64_t> times;
    for (const auto& s : out) {
        times.push_back(s.timestamp);
    }
    return times;
}

constexpr std::uint64_t kKey = 1000 * kTicksPerMs; // a key struck at 1 s

TCAImpactConfig defaults() {
    TCAImpactConfig c;
    tca_impact_config_defaults(&c);
    return c;
}

TCAImpactState stateWithBaseline(float baseline, const TCAImpactConfig& config = defaults()) {
    TCAImpactState s;
    tca_impact_init(&s, &config);
    s.currentBaseline = baseline;
    return s;
}

// Classifies a single sample of the given magnitude at the key's timestamp.
TCAImpactResult classifyOne(TCAImpactState& s, float magnitude) {
    auto ring = makeRing();
    writeMagnitude(ring.get(), kKey, magnitude);
    return tca_impact_classify(&s, ring.get(), kKey);
}

constexpr std::uint64_t ms(std::uint64_t m) {
    return kKey + m * kTicksPerMs;
} // after the key

// Resting magnitude 1.0 at 1 kHz from 0.5 s to 2 s, with a strike of
// deviation 0.0715 at every whole 5 ms.
std::unique_ptr<TCARingBuffer> restingRingWithStrikes() {
    auto ring = makeRing();
    for (std::uint64_t m = 500; m <= 2000; ++m) {
        writeMagnitude(ring.get(), m * kTicksPerMs, m % 5 == 0 ? 1.0715f : 1.0f);
    }
    return ring;
}

bool isPlaceholder(const ImpactResult& r, std::uint64_t key) {
    return r.samplesInWindow == 0 && r.peakTimestamp == key && r.tier == VelocityTier::soft &&
           r.velocity == 0.0f && r.rawPeak == 0.0f;
}

// Every field away from its default.
const ImpactConfig kUnusual{12.5, 33.25, 250.0, 0.02f, true, 0.9f, 0.0041f,
                            0.2f, 1.3f,  0.1f,  0.3f,  0.6f, 0.9f, 35.0};

void expectRefusedNaming(const json& input, const std::string& needle) {
    const auto decoded = decodeImpactConfig(input);
    ASSERT_FALSE(decoded) << input.dump();
    EXPECT_NE(decoded.error().text().find(needle), std::string::npos) << decoded.error().text();
}

std::optional<CalibrationResult> thresholdsOf(std::initializer_list<float> scores) {
    CalibrationCollector c;
    for (float s : scores) {
        c.record(s);
    }
    return c.computeThresholds();
}

} // namespace

TEST(RingBuffer, WrapAroundKeepsTheNewest8000InWriteOrder) {
    auto ring = makeRing();
    for (std::uint64_t t = 1; t <= 8001; ++t) {
        tca_ring_write(ring.get(), t, float(t), 0, 0);
    }
    EXPECT_EQ(std::tuple(ring->writeIndex.load(), ring->totalCount.load()), std::tuple(1u, 8001u));
    const auto all = window(ring.get(), 0, 0, ~0ull);
    ASSERT_EQ(all.size(), 8000u);
    EXPECT_EQ(std::tuple(all.front(), all.back()), std::tuple(2ull, 8001ull))
        << "slot 1 is the oldest";
    TCAMotionSample s;
    ASSERT_TRUE(tca_ring_latest(ring.get(), &s));
    EXPECT_EQ(std::tuple(s.timestamp, s.magnitude), std::tuple(8001ull, 8001.0f));
    EXPECT_EQ(ring->samples[0].timestamp.load(), 8001u); // slot 0 holds the newest
}

TEST(RingBuffer, WindowBoundsAreInclusiveNeverWrapAndACapacityKeepsTheOldest) {
    auto ring = makeRing();
    for (std::uint64_t t = 10; t <= 100; t += 10) {
        tca_ring_write(ring.get(), t, 0, 0, 1);
    }
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(window(ring.get(), 50, 20, 20), (V{30, 40, 50, 60, 70}));
    EXPECT_EQ(window(ring.get(), 15, 1000, 0), V{10}) << "the lower bound clamps at tick 0";
    EXPECT_EQ(window(ring.get(), ~0ull - 5, ~0ull, 100).size(), 10u)
        << "an upper bound past the 64-bit range must saturate, not wrap";
    EXPECT_EQ(window(ring.get(), 50, 30, 30, 3), (V{20, 30, 40}));
    EXPECT_EQ(window(ring.get(), 50, 30, 30, 0), V{});
}

TEST(ImpactEngine, WorkedExampleWithTheDefaults) {
    auto ring = makeRing();
    for (std::uint64_t ms = 985; ms <= 1025; ++ms) {
        writeMagnitude(ring.get(), ms * kTicksPerMs,
                       ms == 1004 ? 1.0715f : (ms == 1006 ? 0.96f : 1.001f));
    }
    TCAImpactState s = stateWithBaseline(1.0f);
    const TCAImpactResult r = tca_impact_classify(&s, ring.get(), kKey);
    // 990 ms .. 1020 ms, both ends included; the tier is hard; the baseline does not move.
    EXPECT_EQ(std::tuple(r.samplesInWindow, r.score, r.baseline, r.peakTimestamp, r.tier),
              std::tuple(31u, r.rawPeak, 1.0f, 1004 * kTicksPerMs, 3u));
    EXPECT_NEAR(r.rawPeak, 0.0715f, 1e-6f);
    EXPECT_NEAR(r.velocity, std::pow(0.5f, 0.8f), 1e-4f); // ≈ 0.574
    EXPECT_EQ(std::tuple(s.lastKeyTimestamp, s.currentBaseline), std::tuple(kKey, 1.0f));
}

TEST(ImpactEngine, DeadzoneCapAndThresholdEdges) {
    TCAImpactState s = stateWithBaseline(0.0f);
    const struct {
        float peak, velocity;
        std::uint32_t tier;
    } defaultCases[] = {{0.003f, 0.0f, 0}, {0.14f, 1.0f, 4}, {3.0f, 1.0f, 4}}; // deadzone, cap
    for (const auto& c : defaultCases) {
        const TCAImpactResult r = classifyOne(s, c.peak);
        EXPECT_EQ(std::tuple(r.velocity, r.tier), std::tuple(c.velocity, c.tier)) << c.peak;
    }
    EXPECT_EQ(classifyOne(s, std::nextafter(0.003f, 1.0f)).tier, 1u); // just above the deadzone

    // A linear configuration (velocity == peak): a threshold belongs to its tier.
    TCAImpactConfig linear = defaults();
    std::tie(linear.deadzone, linear.hardCap, linear.compressGamma) = std::tuple(0.0f, 1.0f, 1.0f);
    s = stateWithBaseline(0.0f, linear);
    for (const auto& [threshold, tier] : {std::pair{0.25f, 2u}, {0.55f, 3u}, {0.82f, 4u}}) {
        EXPECT_EQ(classifyOne(s, threshold).velocity, threshold);
        EXPECT_EQ(classifyOne(s, threshold).tier, tier) << threshold;
        EXPECT_EQ(classifyOne(s, std::nextafter(threshold, 0.0f)).tier, tier - 1) << threshold;
    }
    s.config.softThreshold = 0.3f; // above the deadzone, below soft: silent
    EXPECT_EQ(classifyOne(s, 0.2f).tier, 0u);
    s.config.slamThreshold = 0.1f; // out of order: the highest tier met wins
    EXPECT_EQ(classifyOne(s, 0.2f).tier, 4u);

    for (float cap : {0.003f, 0.001f, -1.0f}) { // a cap at or below the deadzone
        TCAImpactConfig c = defaults();
        c.hardCap = cap;
        TCAImpactState capped = stateWithBaseline(0.0f, c);
        const TCAImpactResult r = classifyOne(capped, 0.5f);
        EXPECT_EQ(std::tuple(r.velocity, r.tier), std::tuple(0.0f, 1u)) << cap; // not NaN
    }
}

TEST(ImpactEngine, EmptyWindowGivesSoftAndLeavesTheStateAlone) {
    auto ring = makeRing();
    writeMagnitude(ring.get(), kKey - 11 * kTicksPerMs, 5.0f); // just before the window
    writeMagnitude(ring.get(), kKey + 21 * kTicksPerMs, 5.0f); // just after it
    TCAImpactConfig c = defaults();
    c.highpassEnabled = true;
    TCAImpactState s = stateWithBaseline(0.7f, c);
    std::tie(s.hpPrevIn, s.hpPrevOut, s.lastKeyTimestamp) = std::tuple(0.25f, 0.125f, 42);
    for (const TCARingBuffer* r : {static_cast<const TCARingBuffer*>(ring.get()),
                                   static_cast<const TCARingBuffer*>(nullptr)}) {
        const TCAImpactResult res = tca_impact_classify(&s, r, kKey);
        EXPECT_EQ(std::tuple(res.samplesInWindow, res.tier, res.velocity, res.rawPeak,
                             res.peakTimestamp, res.baseline),
                  std::tuple(0u, 1u, 0.0f, 0.0f, 0ull, 0.7f));
        EXPECT_EQ(std::tuple(s.currentBaseline, s.hpPrevIn, s.hpPrevOut, s.lastKeyTimestamp),
                  std::tuple(0.7f, 0.25f, 0.125f, 42ull));
    }
}

TEST(ImpactEngine, PeakSearchIsStrictEarliestWinsAndOnlyThe256OldestAreExamined) {
    auto ring = makeRing();
    for (std::uint64_t ms = 995; ms <= 1005; ++ms) {
        writeMagnitude(ring.get(), ms * kTicksPerMs, 1.0f);
    }
    TCAImpactState s = stateWithBaseline(1.0f);
    TCAImpactResult r = tca_impact_classify(&s, ring.get(), kKey);
    EXPECT_EQ(std::tuple(r.rawPeak, r.peakTimestamp, r.tier, r.samplesInWindow),
              std::tuple(0.0f, 0ull, 0u, 11u)); // a flat window is silent
    // Equal deviations above and below the baseline: the earlier one wins.
    writeMagnitude(ring.get(), 1006 * kTicksPerMs, 1.5f);
    writeMagnitude(ring.get(), 1007 * kTicksPerMs, 0.5f);
    writeMagnitude(ring.get(), 1008 * kTicksPerMs, 1.5f);
    r = tca_impact_classify(&s, ring.get(), kKey);
    EXPECT_EQ(std::tuple(r.rawPeak, r.peakTimestamp), std::tuple(0.5f, 1006 * kTicksPerMs));

    // 300 samples 0.1 ms apart inside the window; the strike is the 257th.
    auto crowded = makeRing();
    const std::uint64_t first = kKey - 10 * kTicksPerMs;
    for (std::uint64_t i = 0; i < 300; ++i) {
        writeMagnitude(crowded.get(), first + i * 100'000, i == 256 ? 2.0f : 1.01f);
    }
    r = tca_impact_classify(&s, crowded.get(), kKey);
    EXPECT_EQ(r.samplesInWindow, 256u);
    EXPECT_NEAR(r.rawPeak, 0.01f, 1e-6f) << "the strike was examined";
    EXPECT_EQ(r.peakTimestamp, first);
}

TEST(ImpactEngine, HighPassIgnoresTheBaselineAndCarriesItsStateAcrossClassifications) {
    TCAImpactConfig c = defaults();
    c.highpassEnabled = true;
    auto ring = makeRing();
    writeMagnitude(ring.get(), kKey, 1.0f);
    writeMagnitude(ring.get(), kKey + kTicksPerMs, 1.2f);
    TCAImpactState a = stateWithBaseline(0.0f, c), b = stateWithBaseline(123.0f, c);
    const float peak = tca_impact_classify(&a, ring.get(), kKey).rawPeak;
    EXPECT_EQ(tca_impact_classify(&b, ring.get(), kKey).rawPeak, peak);
    EXPECT_GT(peak, 0.5f) << "the step from rest (0) to 1 g passes the filter";
    // A later key goes on from the last sample (1.2): only the filter's decay passes.
    auto later = makeRing();
    writeMagnitude(later.get(), 5 * kKey, 1.2f);
    const float lastOut = a.hpPrevOut;
    const float next = tca_impact_classify(&a, later.get(), 5 * kKey).rawPeak;
    EXPECT_TRUE(next > 0.0f && next < std::fabs(lastOut)) << next << " " << lastOut;
}

// Rest at 1 kHz with a strike of 0.02, 0.04, 0.02 at 4..6 ms after the key.
TEST(ImpactEngine, StrikeIsOverOnceASampleBelowHalfItsPeakFollowsButNeverOnNoiseBeforeIt) {
    const auto ringWith = [](std::uint64_t blipMs) {
        auto ring = makeRing();
        for (std::uint64_t m = 700; m <= 1040; ++m) {
            const float d = m == 1005 ? 0.04f : (m == 1004 || m == 1006) ? 0.02f : 0.0f;
            writeMagnitude(ring.get(), m * kTicksPerMs, 1.0f + (m == blipMs ? 0.03f : d));
        }
        return ring;
    };
    const auto clear = ringWith(0), noisy = ringWith(995), flat = makeRing();
    for (std::uint64_t m = 700; m <= 1040; ++m) {
        writeMagnitude(flat.get(), m * kTicksPerMs, 1.0f);
    }
    TCAImpactState s = stateWithBaseline(1.0f);
    const struct {
        const TCARingBuffer* ring;
        std::uint64_t newestMs;
        bool over;
    } cases[] = {{clear.get(), 1003, false}, {clear.get(), 1005, false}, {clear.get(), 1006, false},
                 {clear.get(), 1007, true},  {clear.get(), 1030, true},  {noisy.get(), 1030, false},
                 {flat.get(), 1006, false},  {flat.get(), 1007, true}}; // 6 ms + settling
    for (const auto& c : cases) {
        EXPECT_EQ(tca_impact_strike_settled(&s, c.ring, kKey, c.newestMs * kTicksPerMs), c.over)
            << (c.ring == flat.get()    ? "flat "
                : c.ring == noisy.get() ? "noisy "
                                        : "")
            << c.newestMs;
    }
    // Decided at 7 ms on the 18 samples up to then, the press is what the whole window gives.
    const TCAImpactResult early = tca_impact_classify_until(&s, clear.get(), kKey, ms(7), false);
    const TCAImpactResult full = tca_impact_classify(&s, clear.get(), kKey);
    EXPECT_EQ(std::tuple(early.rawPeak, early.score, early.tier, early.samplesInWindow),
              std::tuple(full.rawPeak, full.score, full.tier, 18u));
}

// A 120 Hz strike of 0.05 g (2 ms after the key, decaying over 8 ms) sampled
// at 50 Hz to 1 kHz, at four sampling phases each.
TEST(ImpactEngine, SlowSensorsGetAWiderWindowAndSteadierScoresWhileOneKilohertzIsUnchanged) {
    for (const double rate : {50.0, 100.0, 200.0, 400.0, 1000.0}) {
        const double periodMs = 1000.0 / rate;
        float lowest[2] = {1e9f, 1e9f}, highest[2] = {0.0f, 0.0f}; // plain, adapted
        for (int phase = 0; phase < 4; ++phase) {
            auto ring = makeRing();
            for (double t = -400.0 + phase * periodMs / 4; t < 80.0; t += periodMs) {
                const double dt = (t - 2.0) * 1e-3;
                const double d =
                    dt < 0 ? 0 : 0.05 * std::sin(2 * M_PI * 120 * dt) * std::exp(-dt / 0.008);
                writeMagnitude(ring.get(), kKey + std::int64_t(t * 1e6), float(1.0 + d));
            }
            EXPECT_NEAR(tca_impact_report_rate(ring.get(), kKey), rate, rate * 0.01);
            TCAImpactState a = stateWithBaseline(1.0f), b = stateWithBaseline(1.0f);
            const TCAImpactResult plain = tca_impact_classify(&a, ring.get(), kKey);
            const TCAImpactResult adapted =
                tca_impact_classify_until(&b, ring.get(), kKey, UINT64_MAX, true);
            ASSERT_TRUE(std::isfinite(adapted.score) && adapted.velocity >= 0.0f &&
                        adapted.velocity <= 1.0f && adapted.samplesInWindow > 0)
                << rate;
            if (rate == 1000.0) {
                EXPECT_EQ(std::tuple(adapted.score, adapted.velocity, adapted.samplesInWindow),
                          std::tuple(plain.score, plain.velocity, plain.samplesInWindow));
            } else {
                EXPECT_GT(adapted.samplesInWindow, plain.samplesInWindow) << rate;
            }
            for (int k = 0; k < 2; ++k) {
                const float score = k ? adapted.score : plain.score;
                lowest[k] = std::min(lowest[k], score);
                highest[k] = std::max(highest[k], score);
            }
        }
        if (rate == 400.0) { // the energy hardly depends on where the samples fall
            EXPECT_LT(highest[1] / lowest[1], 1.0f + 0.5f * (highest[0] / lowest[0] - 1.0f));
        }
    }
}

TEST(AdaptivePeakClassifier, GapCountsFromTheLastClassifiedKeyAndThePlaceholderCarriesTheBaseline) {
    ScopedVirtualClock clock(2100 * kTicksPerMs);
    auto ring = restingRingWithStrikes();
    AdaptivePeakClassifier c{ImpactConfig()};
    // 45 = 25 + the gap exactly; 44 is earlier than that.
    const std::pair<std::uint64_t, bool> keys[] = {{ms(0), true},  {ms(10), false},
                                                   {ms(25), true}, {ms(30), false},
                                                   {ms(45), true}, {ms(44), false}};
    float baseline = 0.0f;
    for (const auto& [key, classified] : keys) {
        const ImpactResult r = c.classify(key, ring.get());
        if (classified) {
            EXPECT_EQ(r.samplesInWindow, 31u) << key;
            EXPECT_GT(r.baseline, 0.5f) << "the baseline moves towards rest before the search";
            baseline = r.baseline;
        } else {
            EXPECT_TRUE(isPlaceholder(r, key)) << key;
            EXPECT_EQ(r.baseline, baseline);
        }
    }
}

TEST(ImpactConfig, NativeAndJsonFormsRoundTripAndDefaultsAgree) {
    TCAImpactConfig native;
    tca_impact_config_defaults(&native);
    EXPECT_EQ(fromNative(native), ImpactConfig());
    EXPECT_EQ(fromNative(toNative(kUnusual)), kUnusual);
    const json encoded = encodeImpactConfig(kUnusual);
    EXPECT_EQ(encoded.size(), 14u);
    EXPECT_EQ(decodeImpactConfigText(encoded.dump()).value(), kUnusual);
    // Floats are written as their shortest decimal, which reads back exactly.
    const std::string text = encodeImpactConfig(ImpactConfig()).dump();
    EXPECT_NE(text.find("\"baselineAlpha\":0.01,"), std::string::npos) << text;
    EXPECT_EQ(decodeImpactConfigText(text).value(), ImpactConfig());
}

TEST(ImpactConfig, EveryMissingKeyWrongTypeAndOutOfRangeValueIsRefusedByName) {
    const json full = encodeImpactConfig(ImpactConfig());
    for (const auto& [key, value] : full.items()) {
        json partial = full;
        partial.erase(key);
        expectRefusedNaming(partial, "\"" + key + "\"");
        expectRefusedNaming(partial, "missing");
    }
    const std::pair<const char*, json> cases[] = {
        {"highpassEnabled", 1},
        {"highpassEnabled", "true"},
        {"deadzone", true},
        {"searchPreMs", "10"},
        {"minInterKeyGapMs", nullptr},
        {"hardCap", json::array({0.14})},
        {"compressGamma", 1e39}, // beyond the float range
        {"searchPreMs", std::numeric_limits<double>::infinity()}};
    for (const auto& [key, value] : cases) {
        json bad = full;
        bad[key] = value;
        expectRefusedNaming(bad, key);
    }
    // Integral JSON numbers are numbers; unknown keys are ignored.
    json integral = full;
    integral["searchPreMs"] = 15;
    integral["somethingElse"] = "ignored";
    const auto decoded = decodeImpactConfig(integral);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->searchPreMs, 15.0);
}

TEST(Calibration, TenScoresOrMoreGiveThePercentilesWhateverTheOrderAndComputingKeepsThem) {
    EXPECT_FALSE(thresholdsOf({7, 3, 10, 1, 9, 5, 2, 8, 6}));
    const auto r = thresholdsOf({7, 3, 10, 1, 9, 5, 2, 8, 6, 4});
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tuple(r->sampleCount, r->minScore, r->maxScore), std::tuple(10, 1.0f, 10.0f));
    EXPECT_EQ(std::tuple(r->recommendedSoftThreshold, r->recommendedMediumThreshold,
                         r->recommendedHardThreshold, r->recommendedHardCap),
              std::tuple(0.3f, 0.6f, 0.9f, 12.0f));
    CalibrationCollector c;
    for (int i = 100; i >= 1; --i) {
        c.record(float(i));
    }
    const auto hundred = c.computeThresholds(); // indices 25, 50 and 80
    ASSERT_TRUE(hundred);
    EXPECT_EQ(std::tuple(hundred->recommendedSoftThreshold, hundred->recommendedMediumThreshold,
                         hundred->recommendedHardThreshold, hundred->recommendedHardCap),
              std::tuple(0.26f, 0.51f, 0.81f, 100.0f * 1.2f));
    EXPECT_EQ(c.computeThresholds(), hundred);
    EXPECT_EQ(c.count(), 100);
    c.reset();
    EXPECT_FALSE(c.count() || c.computeThresholds());
    // A microphone score forgets the accelerometer's; the result names its source.
    c.record(5.0f);
    for (int i = 1; i <= 10; ++i) {
        c.record(float(i) / 100.0f, ScoreSource::microphone);
    }
    EXPECT_EQ(std::tuple(c.count(), c.computeThresholds()->source, c.computeThresholds()->maxScore),
              std::tuple(10, ScoreSource::microphone, 0.1f));
}
