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

// A trace written into a temporary folder beside the bundled "Test" pack,
// whose five files (soft..slam, release) are 5 ms constant clicks.
struct Session {
    Session() { installPack("Test", dir / "SoundPacks" / "Test"); }
    ScopedXdgHome home;
    TempDir dir;
};

struct Render {
    OfflineRenderResult result;
    std::vector<float> left;
    std::vector<float> frames; // interleaved stereo
};

Render render(const Session& session, const StrikeTrace& trace, float variation = 0.0f,
              std::uint64_t seed = 0) {
    static RawAudioDecoder decoder;
    EXPECT_TRUE(trace.write(session.dir / "t.jsonl"));
    SettingsValues values;
    values.selectedPackName = "Test";
    values.gainVariation = variation;
    values.pitchVariation = variation;
    Render r;
    OfflineRenderConfig config;
    config.settings = std::make_shared<ToccaSettings>(values);
    config.audioDecoder = &decoder;
    config.bundledPacksFolder = session.dir / "SoundPacks";
    config.seed = seed;
    config.sampleRate = kRate;
    config.audioSink = [&r](const float* f, std::uint32_t n) {
        EXPECT_LE(n, 64u);
        r.frames.insert(r.frames.end(), f, f + 2 * n);
        for (std::uint32_t i = 0; i < n; ++i) {
            r.left.push_back(f[2 * i]);
        }
        return true;
    };
    r.result = OfflineRenderer(std::move(config)).render(session.dir / "t.jsonl");
    EXPECT_TRUE(r.result.ok());
    EXPECT_EQ(r.result.framesRendered, r.left.size());
    return r;
}

std::optional<std::size_t> onsetFrom(const std::vector<float>& mono, std::size_t from) {
    for (std::size_t i = from; i < mono.size(); ++i) {
        if (std::abs(mono[i]) >= 1e-4f) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace

TEST(OfflineRenderer, StrikesOfRisingStrengthReachEveryTierAndTheEventsFileCarriesTheDecisions) {
    Session session;
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
    const Render r = render(session, trace);
    ASSERT_TRUE(r.result.sensorAvailable && r.result.packLoaded);
    ASSERT_EQ(r.result.presses.size(), 8u);
    std::set<VelocityTier> tiers;
    bool sawTwoLayers = false;
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE("strike " + std::to_string(i));
        const auto& press = r.result.presses[i];
        EXPECT_EQ(press.keyEvent.timestamp, StrikeTrace::keyTicks(trace.strikes[i]));
        EXPECT_EQ(press.classifiedAt, press.keyEvent.timestamp + 30 * kMs);
        // The window [key - 10 ms, key + 20 ms] holds 31 samples at 1 kHz and
        // the peak is the strike's sample, measured against 1 g.
        EXPECT_EQ(press.impact.samplesInWindow, 31u);
        EXPECT_EQ(press.impact.peakTimestamp, press.keyEvent.timestamp + 3 * kMs);
        EXPECT_NEAR(press.impact.rawPeak, amplitudes[i], 5e-5);
        if (i > 0) {
            EXPECT_GT(press.impact.velocity, r.result.presses[i - 1].impact.velocity);
            EXPECT_GE(press.impact.tier, r.result.presses[i - 1].impact.tier);
        }
        tiers.insert(press.impact.tier);
        sawTwoLayers |= press.layers.size() == 2;
        for (const auto& layer : press.layers) {
            EXPECT_EQ(layer.sampleIndex, std::max(0, rawValue(layer.tier) - 1));
        }
    }
    EXPECT_EQ(r.result.presses.front().impact.tier, VelocityTier::silent);
    EXPECT_EQ(r.result.presses.back().impact.velocity, 1.0f);
    EXPECT_EQ(tiers.size(), 5u);
    EXPECT_TRUE(sawTwoLayers);
    // The events file: each press's numbers, then its release.
    const std::string events = encodeEventsFile(r.result.presses, r.result.releases);
    std::vector<nlohmann::json> lines;
    for (std::size_t at = 0, nl; (nl = events.find('\n', at)) != std::string::npos; at = nl + 1) {
        lines.push_back(nlohmann::json::parse(events.substr(at, nl - at)));
    }
    ASSERT_EQ(lines.size(), 16u);
    for (int i = 0; i < 8; ++i) {
        const auto& press = r.result.presses[i];
        const auto& j = lines[2 * i];
        EXPECT_EQ(j.at("t").get<std::uint64_t>(), press.keyEvent.timestamp);
        EXPECT_EQ(j.at("classifiedAt").get<std::uint64_t>(), press.classifiedAt);
        EXPECT_EQ(j.at("velocity").get<float>(), press.impact.velocity);
        EXPECT_EQ(j.at("rawPeak").get<float>(), press.impact.rawPeak);
        EXPECT_EQ(j.at("tier").get<std::string>(), std::string(name(press.impact.tier)));
        ASSERT_EQ(j.at("layers").size(), press.layers.size());
        for (std::size_t k = 0; k < press.layers.size(); ++k) {
            EXPECT_EQ(j["layers"][k].at("playGain").get<float>(), press.layers[k].gain);
            EXPECT_EQ(j["layers"][k].at("pitch").get<float>(), press.layers[k].pitchShift);
            EXPECT_EQ(j["layers"][k].at("sample").get<int>(), press.layers[k].sampleIndex);
        }
        const auto& release = lines[2 * i + 1];
        EXPECT_TRUE(release.at("release").get<bool>());
        EXPECT_EQ(release.at("sample").get<int>(), 4);
        EXPECT_EQ(release.at("playGain").get<float>(), r.result.releases[i].gain);
        EXPECT_EQ(release.at("pitch").get<float>(), r.result.releases[i].pitchShift);
    }
}

TEST(OfflineRenderer, VoicesStartWithinOneBlockOfTheirClassification) {
    Session session;
    StrikeTrace trace;
    trace.seconds = 4.0;
    // Key times off the frame grid and off the 1 ms report grid.
    for (int i = 0; i < 6; ++i) {
        trace.strikes.push_back({1.5 + 0.3371 * i + 0.0000137 * i, 0, 0.03, 0.25});
    }
    const Render r = render(session, trace);
    ASSERT_EQ(r.result.presses.size(), 6u);
    EXPECT_EQ(r.result.originTicks, kStrikeTraceOrigin);
    for (const auto& press : r.result.presses) {
        const std::uint64_t classified = press.classifiedAt - r.result.originTicks;
        const auto from = std::size_t(classified * kRate / 1'000'000'000) - 480; // 10 ms before
        const auto onset = onsetFrom(r.left, from);
        ASSERT_TRUE(onset);
        const double onsetTicks = double(*onset) * 1e9 / kRate;
        EXPECT_GE(onsetTicks, double(classified) - 1e9 / kRate);
        EXPECT_LT(onsetTicks - double(classified), 1.4e6) << "voice started late";
    }
}

TEST(OfflineRenderer, HeldKeyRendersOnePressAndOneRelease) {
    Session session;
    StrikeTrace trace;
    trace.strikes.push_back({1.0, 0, 0.05, 0.9, 0.033}); // held 0.9 s, repeating
    const Render r = render(session, trace);
    ASSERT_EQ(r.result.presses.size(), 1u);
    ASSERT_EQ(r.result.releases.size(), 1u);
    // Two sounds in the audio, no more: the press and the release.
    std::vector<std::size_t> onsets;
    for (auto at = onsetFrom(r.left, 0); at; at = onsetFrom(r.left, *at + 480)) {
        onsets.push_back(*at);
        while (*at < r.left.size() && r.left[*at] != 0.0f) {
            ++*at;
        }
    }
    ASSERT_EQ(onsets.size(), 2u);
    const auto releaseFrame = std::size_t(
        (r.result.releases[0].keyEvent.timestamp - r.result.originTicks) * kRate / 1'000'000'000);
    EXPECT_NEAR(double(onsets[1]), double(releaseFrame), 1.0);
}

// The one test of determinism: the same trace and seed give the same frames
// and events, another seed other frames.
TEST(OfflineRenderer, SameSeedSameFramesOtherSeedOtherFrames) {
    Session session;
    StrikeTrace trace;
    for (int i = 0; i < 6; ++i) {
        trace.strikes.push_back({1.0 + 0.3 * i, std::uint16_t(i), 0.01 + 0.02 * i});
    }
    const Render a = render(session, trace, 0.05f, 7);
    const Render b = render(session, trace, 0.05f, 7);
    const Render c = render(session, trace, 0.05f, 8);
    EXPECT_EQ(a.frames, b.frames);
    EXPECT_EQ(encodeEventsFile(a.result.presses, a.result.releases),
              encodeEventsFile(b.result.presses, b.result.releases));
    EXPECT_NE(a.frames, c.frames);
}

TEST(OfflineRenderer, TraceWithoutAccelerometerSoundsEveryPressAsMedium) {
    Session session;
    StrikeTrace trace;
    trace.withAccelerometer = false;
    trace.strikes = {{0.0, 0, 0.1}, {0.4, 1, 0.001}};
    const Render r = render(session, trace);
    EXPECT_FALSE(r.result.sensorAvailable);
    ASSERT_EQ(r.result.presses.size(), 2u);
    for (const auto& press : r.result.presses) {
        EXPECT_EQ(press.impact,
                  (ImpactResult{0.0f, 0.0f, 0.0f, 0.5f, VelocityTier::medium,
                                press.keyEvent.timestamp, 0}));
        ASSERT_EQ(press.layers.size(), 1u);
        EXPECT_EQ(press.layers[0].tier, VelocityTier::medium);
    }
    EXPECT_GT(*std::max_element(r.left.begin(), r.left.end()), 0.05f);
}
