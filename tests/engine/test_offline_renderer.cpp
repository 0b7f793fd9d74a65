#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/render/offline_renderer.h"
#include "engine/render/render_events.h"
#include "engine/settings/settings_values.h"
#include "engine/settings/tocca_settings.h"
#include "tests/support/raw_audio_decoder.h"
#include "tests/support/strike_trace.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kMs = 1'000'000;

// The files of the test pack, in the order the coordinator loads them, so
// that a file's position is its sample index.
const std::vector<std::string> kPackFiles = {"soft.raw", "medium.raw", "hard.raw", "slam.raw",
                                             "release.raw"};

// A pack whose every sample is a short constant block (a click that starts at
// full level on its first frame) of its own level.
struct TestPack {
    TempDir dir;
    fs::path bundled() const { return dir.path() / "SoundPacks"; }

    explicit TestPack(std::uint32_t frames = 240) {
        const fs::path folder = bundled() / "Test";
        writeFile(folder / "pack.json",
                  R"({"name":"Test","author":"T","license":"CC0","groups":{"alpha":{)"
                  R"("soft":["soft.raw"],"medium":["medium.raw"],"hard":["hard.raw"],)"
                  R"("slam":["slam.raw"]}},"release":{"alpha":["release.raw"]}})");
        for (std::size_t i = 0; i < kPackFiles.size(); ++i) {
            writeRawAudio(folder / kPackFiles[i], kRate, 1,
                          std::vector<float>(frames, 0.1f * float(i + 1)));
        }
    }
};

struct Render {
    OfflineRenderResult result;
    std::vector<float> frames; // interleaved stereo
    std::size_t sinkCalls = 0;

    std::vector<float> left() const {
        std::vector<float> l;
        for (std::size_t i = 0; i < frames.size(); i += 2) {
            l.push_back(frames[i]);
        }
        return l;
    }
};

SettingsValues quietValues() {
    SettingsValues v;
    v.selectedPackName = "Test";
    v.gainVariation = 0.0f;
    v.pitchVariation = 0.0f;
    return v;
}

Render render(const fs::path& trace, const TestPack& pack, SettingsValues values = quietValues(),
              std::uint64_t seed = 0) {
    static RawAudioDecoder decoder;
    Render r;
    OfflineRenderConfig config;
    config.settings = std::make_shared<ToccaSettings>(values);
    config.audioDecoder = &decoder;
    config.bundledPacksFolder = pack.bundled();
    config.seed = seed;
    config.sampleRate = kRate;
    config.audioSink = [&r](const float* f, std::uint32_t n) {
        EXPECT_LE(n, 64u);
        r.frames.insert(r.frames.end(), f, f + 2 * n);
        ++r.sinkCalls;
        return true;
    };
    r.result = OfflineRenderer(std::move(config)).render(trace);
    return r;
}

// The velocity layers of a velocity, as the crossfader's description gives
// them, computed here independently of the engine's crossfader.
std::vector<std::pair<VelocityTier, float>> expectedLayers(float v, float medium, float hard,
                                                           float slam, float width) {
    struct Range {
        VelocityTier tier;
        float lo, hi, bottom, top;
    };
    const Range ranges[] = {{VelocityTier::soft, 0.0f, medium, 0.35f, 0.65f},
                            {VelocityTier::medium, medium, hard, 0.45f, 0.72f},
                            {VelocityTier::hard, hard, slam, 0.65f, 0.88f},
                            {VelocityTier::slam, slam, 1.0f, 0.82f, 1.0f}};
    v = std::clamp(v, 0.0f, 1.0f);
    const float h = width * 0.5f;
    std::vector<std::pair<VelocityTier, float>> out;
    for (const auto& r : ranges) {
        const float lowEdge = r.lo > 0 ? r.lo - h : r.lo;
        const float highEdge = r.hi < 1.0f ? r.hi + h : r.hi;
        if (v < lowEdge || v > highEdge) {
            continue;
        }
        float weight = 1.0f;
        if (r.lo > 0 && v < r.lo + h) {
            const float f = (v - (r.lo - h)) / width;
            weight = f <= 0 ? 0.0f : (f <= 1 ? f : 1.0f);
        }
        if (r.hi < 1.0f && v > r.hi - h) {
            weight = std::min(weight, std::clamp((r.hi + h - v) / width, 0.0f, 1.0f));
        }
        const float p = r.hi - r.lo > 0 ? std::clamp((v - r.lo) / (r.hi - r.lo), 0.0f, 1.0f) : 0.5f;
        const float gain = weight * (r.bottom + p * (r.top - r.bottom));
        if (gain > 0.01f) {
            out.emplace_back(r.tier, gain);
        }
    }
    if (out.empty()) {
        out.emplace_back(VelocityTier::soft, 0.25f);
    }
    return out;
}

// The first frame at or after `from` whose level reaches `threshold`.
std::optional<std::size_t> onsetFrom(const std::vector<float>& mono, std::size_t from,
                                     float threshold = 1e-4f) {
    for (std::size_t i = from; i < mono.size(); ++i) {
        if (std::abs(mono[i]) >= threshold) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace

TEST(OfflineRenderer, EventsAgreeWithTheClassificationAndCrossfaderArithmetic) {
    ScopedXdgHome home;
    TestPack pack;
    TempDir dir;
    // Peaks chosen for velocities inside every tier and inside the bands
    // around each threshold, where two layers sound; codes with plain and
    // table pitch offsets. 700 ms apart, so each strike has left the
    // baseline window before the next key.
    StrikeTrace trace;
    trace.seconds = 9.0;
    const double amplitudes[] = {0.002, 0.012, 0.0272, 0.048, 0.0694, 0.0897, 0.111, 0.2};
    const std::uint16_t codes[] = {0, 2, 1, 0, 8, 3, 11, 4};
    for (int i = 0; i < 8; ++i) {
        trace.strikes.push_back({2.0 + 0.7 * i, codes[i], amplitudes[i]});
    }
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));

    const Render r = render(dir / "t.jsonl", pack);
    ASSERT_TRUE(r.result.ok());
    ASSERT_TRUE(r.result.sensorAvailable);
    ASSERT_TRUE(r.result.packLoaded);
    ASSERT_EQ(r.result.presses.size(), 8u);
    const SettingsValues s = quietValues();
    const float deadzone = s.deadzone, cap = s.hardCap, gamma = s.compressGamma;
    bool sawTwoLayers = false;
    std::set<VelocityTier> tiers;
    for (int i = 0; i < 8; ++i) {
        const auto& press = r.result.presses[i];
        SCOPED_TRACE("strike " + std::to_string(i));
        EXPECT_EQ(press.keyEvent.timestamp, StrikeTrace::keyTicks(trace.strikes[i]));
        EXPECT_EQ(press.keyEvent.keyCode, codes[i]);
        EXPECT_EQ(press.keyEvent.keyGroup, KeyGroup::alpha);
        EXPECT_EQ(press.classifiedAt, press.keyEvent.timestamp + 30 * kMs);
        const ImpactResult& impact = press.impact;
        // The window [key - 10 ms, key + 20 ms] holds 31 samples at 1 kHz,
        // the peak is the strike's sample, the baseline has settled at 1 g.
        EXPECT_EQ(impact.samplesInWindow, 31u);
        EXPECT_EQ(impact.peakTimestamp, press.keyEvent.timestamp + 3 * kMs);
        EXPECT_NEAR(impact.baseline, 1.0, 2e-5);
        EXPECT_NEAR(impact.rawPeak, amplitudes[i], 5e-5);
        EXPECT_EQ(impact.score, impact.rawPeak);
        const float p = impact.rawPeak;
        const float v =
            p > deadzone ? std::pow(std::min((p - deadzone) / (cap - deadzone), 1.0f), gamma) : 0;
        EXPECT_FLOAT_EQ(impact.velocity, v);
        const VelocityTier tier = p <= deadzone            ? VelocityTier::silent
                                  : v >= s.slamThreshold   ? VelocityTier::slam
                                  : v >= s.hardThreshold   ? VelocityTier::hard
                                  : v >= s.mediumThreshold ? VelocityTier::medium
                                                           : VelocityTier::soft;
        EXPECT_EQ(impact.tier, tier);
        tiers.insert(tier);

        const auto layers = expectedLayers(v, s.mediumThreshold, s.hardThreshold, s.slamThreshold,
                                           s.crossfadeWidth);
        ASSERT_EQ(press.layers.size(), layers.size());
        sawTwoLayers |= layers.size() == 2;
        const float keyPitch = ToccaCoordinator::pitchForKey(codes[i]);
        for (std::size_t k = 0; k < layers.size(); ++k) {
            const auto& got = press.layers[k];
            EXPECT_EQ(got.tier, layers[k].first);
            EXPECT_FLOAT_EQ(got.layerGain, layers[k].second);
            // Silent layers use the soft files; soft..slam are files 0..3.
            EXPECT_EQ(got.sampleIndex, std::max(0, rawValue(got.tier) - 1));
            EXPECT_FLOAT_EQ(got.gain, (0.5f * v + 0.5f) * layers[k].second);
            EXPECT_FLOAT_EQ(got.pitchShift, keyPitch + (0.08f * v + 0.96f));
        }
    }
    EXPECT_TRUE(sawTwoLayers);
    EXPECT_EQ(tiers.size(), 5u); // silent to slam, each at least once

    // The events file carries exactly these numbers, press before release.
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
        const auto& rel = lines[2 * i + 1];
        EXPECT_TRUE(rel.at("release").get<bool>());
        EXPECT_EQ(rel.at("sample").get<int>(), 4);
        EXPECT_EQ(rel.at("playGain").get<float>(), 0.4f);
        EXPECT_EQ(rel.at("pitch").get<float>(), 1.0f + ToccaCoordinator::pitchForKey(codes[i]));
    }
}

TEST(OfflineRenderer, VoicesStartWithinOneBlockOfTheirClassification) {
    ScopedXdgHome home;
    TestPack pack(96); // 2 ms clicks
    TempDir dir;
    StrikeTrace trace;
    trace.seconds = 4.0;
    // Key times off the frame grid and off the 1 ms report grid.
    for (int i = 0; i < 6; ++i) {
        trace.strikes.push_back({1.5 + 0.3371 * i + 0.0000137 * i, 0, 0.03, 0.25});
    }
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    const Render r = render(dir / "t.jsonl", pack);
    ASSERT_TRUE(r.result.ok());
    ASSERT_EQ(r.result.presses.size(), 6u);
    EXPECT_EQ(r.result.originTicks, kStrikeTraceOrigin);
    EXPECT_EQ(r.result.framesRendered * 2, r.frames.size());

    const auto mono = r.left();
    for (const auto& press : r.result.presses) {
        const std::uint64_t classified = press.classifiedAt - r.result.originTicks;
        const auto from = std::size_t(classified * kRate / 1'000'000'000) - 480; // 10 ms before
        const auto onset = onsetFrom(mono, from);
        ASSERT_TRUE(onset);
        const double onsetTicks = double(*onset) * 1e9 / kRate;
        EXPECT_GE(onsetTicks, double(classified) - 1e9 / kRate);
        EXPECT_LT(onsetTicks - double(classified), 1.4e6) << "voice started late";
    }
}

TEST(OfflineRenderer, HeldKeyRendersOnePressAndOneRelease) {
    ScopedXdgHome home;
    TestPack pack(240); // 5 ms
    TempDir dir;
    StrikeTrace trace;
    trace.seconds = 3.0;
    trace.strikes.push_back({1.0, 0, 0.05, 0.9, 0.033}); // held 0.9 s, repeating
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    const Render r = render(dir / "t.jsonl", pack);
    ASSERT_TRUE(r.result.ok());
    ASSERT_EQ(r.result.presses.size(), 1u);
    ASSERT_EQ(r.result.releases.size(), 1u);
    EXPECT_EQ(r.result.releases[0].sampleIndex, 4);

    // Two sounds in the audio, no more: the press and the release.
    const auto mono = r.left();
    std::vector<std::size_t> onsets;
    for (auto at = onsetFrom(mono, 0); at; at = onsetFrom(mono, *at + 480)) {
        onsets.push_back(*at);
        while (*at < mono.size() && mono[*at] != 0.0f) {
            ++*at;
        }
    }
    ASSERT_EQ(onsets.size(), 2u);
    const auto releaseFrame = std::size_t(
        (r.result.releases[0].keyEvent.timestamp - r.result.originTicks) * kRate / 1'000'000'000);
    EXPECT_NEAR(double(onsets[1]), double(releaseFrame), 1.0);
}

TEST(OfflineRenderer, SameSeedSameFramesOtherSeedOtherFrames) {
    ScopedXdgHome home;
    TestPack pack;
    TempDir dir;
    StrikeTrace trace;
    trace.seconds = 3.0;
    for (int i = 0; i < 6; ++i) {
        trace.strikes.push_back({1.0 + 0.3 * i, std::uint16_t(i), 0.01 + 0.02 * i});
    }
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    SettingsValues varied = quietValues();
    varied.gainVariation = 0.05f;
    varied.pitchVariation = 0.03f;
    const Render a = render(dir / "t.jsonl", pack, varied, 7);
    const Render b = render(dir / "t.jsonl", pack, varied, 7);
    const Render c = render(dir / "t.jsonl", pack, varied, 8);
    ASSERT_TRUE(a.result.ok() && b.result.ok() && c.result.ok());
    EXPECT_EQ(a.frames, b.frames);
    EXPECT_EQ(encodeEventsFile(a.result.presses, a.result.releases),
              encodeEventsFile(b.result.presses, b.result.releases));
    EXPECT_NE(a.frames, c.frames);
    // The jitter stays within the configured variation.
    for (const auto& press : a.result.presses) {
        const float v = press.impact.velocity;
        for (const auto& layer : press.layers) {
            EXPECT_LE(std::abs(layer.gain - (0.5f * v + 0.5f) * layer.layerGain), 0.05f + 1e-6f);
            EXPECT_LE(std::abs(layer.pitchShift -
                               ToccaCoordinator::pitchForKey(press.keyEvent.keyCode) -
                               (0.08f * v + 0.96f)),
                      0.03f + 1e-6f);
        }
    }
}

TEST(OfflineRenderer, TraceWithoutAccelerometerSoundsEveryPressAsMedium) {
    ScopedXdgHome home;
    TestPack pack;
    TempDir dir;
    StrikeTrace trace;
    trace.withAccelerometer = false;
    trace.strikes = {{0.0, 0, 0.1}, {0.4, 1, 0.001}};
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    const Render r = render(dir / "t.jsonl", pack);
    ASSERT_TRUE(r.result.ok());
    EXPECT_FALSE(r.result.sensorAvailable);
    ASSERT_EQ(r.result.presses.size(), 2u);
    for (const auto& press : r.result.presses) {
        EXPECT_EQ(press.impact.tier, VelocityTier::medium);
        EXPECT_EQ(press.impact.velocity, 0.5f);
        EXPECT_EQ(press.impact.rawPeak, 0.0f);
        EXPECT_EQ(press.impact.samplesInWindow, 0u);
        EXPECT_EQ(press.impact.peakTimestamp, press.keyEvent.timestamp);
        ASSERT_EQ(press.layers.size(), 1u);
        EXPECT_EQ(press.layers[0].tier, VelocityTier::medium);
        EXPECT_FLOAT_EQ(press.layers[0].layerGain, 0.45f + (0.25f / 0.3f) * 0.27f);
    }
    EXPECT_GT(*std::max_element(r.frames.begin(), r.frames.end()), 0.05f);
}
