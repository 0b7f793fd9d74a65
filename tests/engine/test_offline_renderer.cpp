#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>

#include "engine/render/offline_renderer.h"
#include "engine/render/render_events.h"
#include "engine/settings/tocca_settings.h"
#include "tests/support/coordinator_rig.h"
#include "tests/support/strike_trace.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kMs = 1'000'000;

struct Render {
    OfflineRenderResult result;
    std::vector<float> left;
    // The first frame at or after `from` that sounds.
    std::optional<std::size_t> onsetFrom(std::size_t from) const {
        const auto it = std::find_if(left.begin() + std::min(from, left.size()), left.end(),
                                     [](float v) { return std::abs(v) >= 1e-4f; });
        return it == left.end() ? std::nullopt : std::optional(std::size_t(it - left.begin()));
    }
    std::size_t frameAt(std::uint64_t ticks) const {
        return std::size_t((ticks - result.originTicks) * kRate / 1'000'000'000);
    }
};

// Renders the trace with the "Test" pack, whose five files (soft..slam,
// release) are 5 ms constant clicks.
Render render(const StrikeTrace& trace,
              const std::function<void(OfflineRenderConfig&)>& adjust = {}, bool ok = true) {
    ScopedXdgHome home;
    TempDir dir;
    installPack("Test", dir / "SoundPacks" / "Test");
    static RawAudioDecoder decoder;
    EXPECT_TRUE(trace.write(dir / "t.jsonl"));
    SettingsValues values;
    values.selectedPackName = "Test";
    values.gainVariation = values.pitchVariation = 0.0f;
    Render r;
    OfflineRenderConfig config;
    config.settings = std::make_shared<ToccaSettings>(values);
    config.audioDecoder = &decoder;
    config.bundledPacksFolder = dir / "SoundPacks";
    config.sampleRate = kRate;
    config.audioSink = [&r](const float* f, std::uint32_t n) {
        EXPECT_LE(n, 64u);
        for (std::uint32_t i = 0; i < n; ++i) {
            r.left.push_back(f[2 * i]);
        }
        return true;
    };
    if (adjust) {
        adjust(config);
    }
    r.result = OfflineRenderer(std::move(config)).render(dir / "t.jsonl");
    EXPECT_EQ(r.result.ok(), ok);
    EXPECT_EQ(r.result.framesRendered, r.left.size());
    return r;
}

} // namespace

TEST(OfflineRenderer, StrikesOfRisingStrengthReachEveryTierAtTheirTimes) {
    // 700 ms apart, so each strike has left the baseline window before the
    // next key; the weakest is below the default deadzone (0.003 g), the
    // strongest above the default hard cap (0.14 g).
    StrikeTrace trace;
    trace.seconds = 9.0;
    const double amplitudes[] = {0.002, 0.012, 0.0272, 0.048, 0.0694, 0.0897, 0.111, 0.2};
    const std::uint16_t codes[] = {0, 2, 1, 0, 8, 3, 11, 4};
    for (int i = 0; i < 8; ++i) {
        trace.strikes.push_back({2.0 + 0.7 * i, codes[i], amplitudes[i]});
    }
    const Render r = render(trace);
    ASSERT_TRUE(r.result.sensorAvailable && r.result.packLoaded);
    ASSERT_EQ(r.result.presses.size(), 8u);
    ASSERT_EQ(r.result.releases.size(), 8u);
    std::set<VelocityTier> tiers;
    bool sawTwoLayers = false;
    for (int i = 0; i < 8; ++i) {
        const auto& press = r.result.presses[i];
        const std::uint64_t key = StrikeTrace::keyTicks(trace.strikes[i]);
        // The window [key - 10 ms, key + 20 ms] holds 31 samples at 1 kHz and
        // the peak is the strike's sample, measured against 1 g.
        EXPECT_EQ(std::make_tuple(press.keyEvent.timestamp, press.classifiedAt,
                                  press.impact.samplesInWindow, press.impact.peakTimestamp),
                  std::make_tuple(key, key + 30 * kMs, 31u, key + 3 * kMs))
            << i;
        EXPECT_NEAR(press.impact.rawPeak, amplitudes[i], 5e-5) << i;
        if (i > 0) {
            EXPECT_GT(press.impact.velocity, r.result.presses[i - 1].impact.velocity) << i;
            EXPECT_GE(press.impact.tier, r.result.presses[i - 1].impact.tier) << i;
        }
        tiers.insert(press.impact.tier);
        sawTwoLayers |= press.layers.size() == 2;
        for (const auto& layer : press.layers) {
            EXPECT_EQ(layer.sampleIndex, std::max(0, rawValue(layer.tier) - 1)) << i;
        }
        EXPECT_EQ(r.result.releases[i].sampleIndex, 4);
    }
    EXPECT_EQ(r.result.presses.front().impact.tier, VelocityTier::silent);
    EXPECT_EQ(r.result.presses.back().impact.velocity, 1.0f);
    EXPECT_EQ(tiers.size(), 5u);
    EXPECT_TRUE(sawTwoLayers);
}

TEST(OfflineRenderer, VoicesStartWithinOneBlockOfTheirClassification) {
    StrikeTrace trace;
    trace.seconds = 4.0;
    // Key times off the frame grid and off the 1 ms report grid.
    for (int i = 0; i < 6; ++i) {
        trace.strikes.push_back({1.5 + 0.3371 * i + 0.0000137 * i, 0, 0.03, 0.25});
    }
    const Render r = render(trace);
    ASSERT_EQ(r.result.presses.size(), 6u);
    EXPECT_EQ(r.result.originTicks, kStrikeTraceOrigin);
    for (const auto& press : r.result.presses) {
        const auto onset = r.onsetFrom(r.frameAt(press.classifiedAt) - 480); // from 10 ms before
        ASSERT_TRUE(onset);
        const double late =
            double(*onset) * 1e9 / kRate - double(press.classifiedAt - kStrikeTraceOrigin);
        EXPECT_GE(late, -1e9 / kRate);
        EXPECT_LT(late, 1.4e6) << "voice started late";
    }
}

TEST(OfflineRenderer, HeldKeyRendersOnePressAndOneRelease) {
    StrikeTrace trace;
    trace.strikes.push_back({1.0, 0, 0.05, 0.9, 0.033}); // held 0.9 s, repeating
    const Render r = render(trace);
    ASSERT_EQ(r.result.presses.size(), 1u);
    ASSERT_EQ(r.result.releases.size(), 1u);
    // Two sounds in the audio, no more: the press and the release.
    std::vector<std::size_t> onsets;
    for (auto at = r.onsetFrom(0); at; at = r.onsetFrom(*at + 480)) {
        onsets.push_back(*at);
        while (*at < r.left.size() && r.left[*at] != 0.0f) {
            ++*at;
        }
    }
    ASSERT_EQ(onsets.size(), 2u);
    EXPECT_NEAR(double(onsets[1]), double(r.frameAt(r.result.releases[0].keyEvent.timestamp)), 1.0);
}

TEST(OfflineRenderer, TraceWithoutAccelerometerSoundsEveryPressAsMediumAtHalfVelocity) {
    StrikeTrace trace;
    trace.withAccelerometer = false;
    trace.strikes = {{0.0, 0, 0.1}, {0.4, 1, 0.001}};
    const Render r = render(trace);
    EXPECT_FALSE(r.result.sensorAvailable);
    ASSERT_EQ(r.result.presses.size(), 2u);
    for (const auto& press : r.result.presses) {
        EXPECT_EQ(press.impact, (ImpactResult{0.0f, 0.0f, 0.0f, 0.5f, VelocityTier::medium,
                                              press.keyEvent.timestamp, 0}));
        ASSERT_EQ(press.layers.size(), 1u);
        EXPECT_EQ(press.layers[0].tier, VelocityTier::medium);
    }
    EXPECT_GT(*std::max_element(r.left.begin(), r.left.end()), 0.05f);
}

TEST(OfflineRenderer, EventSinkGetsTheEventsFileAsItGoesHoldingOnlyTheClassificationWindow) {
    // Keys 100 ms apart: most released 25 ms after going down (before their
    // press is classified), every fourth released on the tick the next goes
    // down.
    StrikeTrace trace;
    trace.seconds = 5.0;
    for (int i = 0; i < 40; ++i) {
        trace.strikes.push_back({0.5 + 0.1 * i, std::uint16_t(i % 7), 0.01 + 0.003 * (i % 9),
                                 i % 4 == 3 ? 0.1 : 0.025});
    }
    struct Case {
        double searchPostMs;
        // The events whose key times lie within the classification delay:
        // at 30 ms the release on the tick a key goes down, its press and
        // its release; at 160 ms the next key's release as well.
        std::size_t mostHeld;
    };
    // -5 is refused by the classify step, which waits the default 30 ms
    // rather than the 10 ms the render's tail allows for it.
    for (const Case c : {Case{20.0, 3}, Case{-5.0, 3}, Case{150.0, 4}}) {
        std::string streamed;
        const Render r = render(trace, [&](OfflineRenderConfig& config) {
            config.settings->setSearchPostMs(c.searchPostMs);
            config.eventSink = [&](const RenderEvent& event) {
                streamed += encodeEventLine(event) + "\n";
                return true;
            };
        });
        ASSERT_EQ(std::make_pair(r.result.pressCount, r.result.releaseCount),
                  std::make_pair(std::size_t(40), std::size_t(40)));
        EXPECT_EQ(streamed, encodeEventsFile(r.result.presses, r.result.releases))
            << c.searchPostMs;
        // Never the session's 80.
        EXPECT_LE(r.result.mostEventsHeld, c.mostHeld) << c.searchPostMs;
    }

    // Kept nothing, and a sink that refuses stops the render.
    int taken = 0;
    const Render refused = render(
        trace,
        [&](OfflineRenderConfig& c) {
            c.keepEvents = false;
            c.eventSink = [&](const RenderEvent&) { return ++taken < 5; };
        },
        false);
    EXPECT_EQ(taken, 5);
    EXPECT_TRUE(refused.result.presses.empty() && refused.result.releases.empty());
    EXPECT_TRUE(refused.result.sinkError);
    EXPECT_LT(refused.result.framesRendered, 4 * kRate);
}

// With velocitySource "microphone" the presses are classified from the
// trace's mic records: louder clicks score higher whatever their order, and
// the panel names the replayed microphone. Without mic records the same
// setting plays the fixed strength.
TEST(OfflineRenderer, MicrophoneClicksRankTheirPressesAndNoMicrophonePlaysFixed) {
    StrikeTrace trace;
    trace.seconds = 6.0;
    trace.withAccelerometer = false;
    trace.withMicrophone = true;
    const double amplitudes[] = {0.08, 0.01, 0.32, 0.02, 0.16, 0.04};
    for (int i = 0; i < 6; ++i) {
        trace.strikes.push_back({1.0 + 0.6 * i, std::uint16_t(i), amplitudes[i]});
    }
    const auto useMic = [](OfflineRenderConfig& c) {
        c.settings->setVelocitySource(VelocitySource::microphone);
    };
    const Render r = render(trace, useMic);
    ASSERT_EQ(r.result.presses.size(), 6u);
    EXPECT_EQ(describe(r.result.strikeSource),
              "Measuring strikes with the microphone Trace Replay Microphone");
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 6; ++j) {
            if (amplitudes[i] < amplitudes[j]) {
                EXPECT_LT(r.result.presses[i].impact.velocity, r.result.presses[j].impact.velocity)
                    << amplitudes[i] << " against " << amplitudes[j];
            }
        }
        const std::uint64_t click = StrikeTrace::keyTicks(trace.strikes[i]) + 2 * kMs;
        EXPECT_NEAR(double(r.result.presses[i].impact.peakTimestamp), double(click), 1.5 * kMs);
    }

    trace.withMicrophone = false;
    const Render none = render(trace, useMic);
    EXPECT_EQ(describe(none.result.strikeSource), "Fixed strength: no microphone");
    for (const auto& press : none.result.presses) {
        EXPECT_EQ(press.impact.velocity, 0.5f);
    }
}

// A microphone that delivers only silence plays the fixed strength once two
// seconds of it have come, and measures again after the re-check finds sound.
TEST(OfflineRenderer, SilentOrClippingMicrophoneFallsBackToFixedAndResumesWhenItHears) {
    for (const bool clipping : {false, true}) {
        StrikeTrace trace;
        trace.seconds = 9.0;
        trace.withAccelerometer = false;
        trace.withMicrophone = true;
        // Health is judged over 2 s of blocks: measured again within 4 s.
        (clipping ? trace.micClippedUntil : trace.micSilentUntil) = 3.0;
        trace.strikes = {{2.6, 1, 0.3}, {7.0, 2, 0.3}, {7.6, 3, 0.03}};
        const Render r = render(trace, [](OfflineRenderConfig& c) {
            c.settings->setVelocitySource(VelocitySource::microphone);
        });
        ASSERT_EQ(r.result.presses.size(), 3u) << clipping;
        EXPECT_EQ(r.result.presses[0].impact.velocity, 0.5f) << clipping << ": the fixed strength";
        EXPECT_EQ(r.result.presses[0].impact.samplesInWindow, 0u) << clipping;
        EXPECT_GT(r.result.presses[1].impact.samplesInWindow, 0u) << clipping << ": measured again";
        EXPECT_GT(r.result.presses[1].impact.velocity, r.result.presses[2].impact.velocity)
            << clipping;
    }
}
