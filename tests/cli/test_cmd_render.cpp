// The render and calibrate commands end to end (the built program, the
// built-in packs) and the bundled demo session they run on: its generator's
// output, and its strikes' forces against the velocities the render gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <sstream>

#include <nlohmann/json.hpp>

#include "engine/core/core_types.h"
#include "engine/ports/audio_decoder.h"
#include "engine/replay/session_trace.h"
#include "engine/sensing/accel_report.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/audio_analysis.h"
#include "tests/support/child_process.h"
#include "tests/support/strike_trace.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

const fs::path kDemo = fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "demo";

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<nlohmann::json> jsonLines(const fs::path& file) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

DecodedAudio decodeWav(const fs::path& path) {
    DecodedAudio audio;
    std::string error;
    EXPECT_TRUE(platform::SndfileDecoder().decode(path, audio, error)) << error;
    return audio;
}

// Spearman rank correlation (ties share their mean rank).
double spearman(const std::vector<double>& a, const std::vector<double>& b) {
    auto ranks = [](const std::vector<double>& v) {
        std::vector<std::size_t> order(v.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](auto x, auto y) { return v[x] < v[y]; });
        std::vector<double> r(v.size());
        for (std::size_t i = 0, j; i < order.size(); i = j + 1) {
            for (j = i; j + 1 < order.size() && v[order[j + 1]] == v[order[i]];) {
                ++j;
            }
            for (std::size_t k = i; k <= j; ++k) {
                r[order[k]] = 0.5 * double(i + j);
            }
        }
        return r;
    };
    const auto ra = ranks(a), rb = ranks(b);
    const double mean = double(ra.size() - 1) / 2;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < ra.size(); ++i) {
        sab += (ra[i] - mean) * (rb[i] - mean);
        saa += (ra[i] - mean) * (ra[i] - mean);
        sbb += (rb[i] - mean) * (rb[i] - mean);
    }
    return sab / std::sqrt(saa * sbb);
}

StrikeTrace alternatingStrikes(int pairs, double soft, double hard) {
    StrikeTrace trace;
    trace.seconds = 1.0 + 0.6 * 2 * pairs;
    for (int i = 0; i < 2 * pairs; ++i) {
        trace.strikes.push_back({1.0 + 0.6 * i, 0, i % 2 ? hard : soft, 0.3});
    }
    return trace;
}

// A render of a one-pair trace in a fresh folder, with `args` added.
struct Render {
    ScopedXdgHome home;
    TempDir dir;
    std::string trace = (dir / "t.jsonl").string();
    Render() { EXPECT_TRUE(alternatingStrikes(1, 0.01, 0.05).write(trace)); }
    CliRun run(std::vector<std::string> args) {
        args.insert(args.begin(), {"render", "--trace", trace});
        return runClavioCli(args);
    }
};

} // namespace

TEST(CliRender, MalformedTracesAreRefusedWithTheirLineAndNoWav) {
    ScopedXdgHome home;
    const std::string header = "{\"format\":\"clavio-trace\",\"version\":1}\n";
    const std::string down = R"({"t":5,"key":"down","code":0,"flags":0,"repeat":false})";
    const std::pair<std::string, int> cases[] = {
        {"", 1},
        {"{\"format\":\"other\",\"version\":1}\n" + down + "\n", 1},
        {"{\"format\":\"clavio-trace\",\"version\":2}\n" + down + "\n", 1},
        {header + "not json\n", 2},
        {header + down + "\n{\"key\":\"up\",\"code\":0,\"flags\":0}\n", 3},
        {header + R"({"t":-1,"key":"up","code":0,"flags":0})" + "\n", 2},
        {header + R"({"t":5,"accel":"0g"})" + "\n", 2},
        {header + R"({"t":5,"key":"down","code":70000,"flags":0,"repeat":false})" + "\n", 2},
        {header + R"({"t":5,"key":"down","code":0,"flags":0})" + "\n", 2},
        {header + R"({"t":5,"key":"press","code":0,"flags":0})" + "\n", 2},
        {header + R"({"t":5})" + "\n", 2},
        {header + down + "\n" + down + "\n" + R"({"t":4,"key":"up","code":0,"flags":0})" + "\n", 4},
    };
    for (const auto& [text, line] : cases) {
        SCOPED_TRACE(text);
        TempDir dir;
        writeFile(dir / "t.jsonl", text);
        const auto r = runClavioCli({"render", "--trace", (dir / "t.jsonl").string(), "--out",
                                     (dir / "out.wav").string(), "--events",
                                     (dir / "events.jsonl").string()});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("line " + std::to_string(line) + ":"), std::string::npos)
            << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"t.jsonl"});
    }
}

TEST(CliRender, UnwritableOutputsAndBadSettingsFailBeforeAnyWorkButOwnSettingsFallBack) {
    Render render;
    const fs::path& dir = render.dir.path();
    const std::string before = readFile(render.trace);
    fs::create_directories(dir / "folder");
    writeFile(dir / "bad.json", R"({"masterVolume":"loud"})");
    const std::string out = (dir / "o.wav").string();
    auto r = render.run({"--out", (dir / "missing" / "o.wav").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("missing"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Audio output started"), std::string::npos) << "rendering began: " << r.output;
    EXPECT_EQ(render.run({"--out", out, "--events", (dir / "folder").string()}).status, 1);
    EXPECT_EQ(render.run({"--out", render.trace}).status, 1);
    EXPECT_EQ(readFile(render.trace), before);
    r = render.run({"--settings", (dir / "bad.json").string(), "--out", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("bad.json"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("masterVolume"), std::string::npos) << r.output;
    EXPECT_EQ(render.run({"--settings", (dir / "absent.json").string(), "--out", out}).status, 1);
    EXPECT_EQ(filesIn(dir), (std::vector<std::string>{"bad.json", "folder", "t.jsonl"}));

    // The user's own garbled settings: defaults, and the file stays as it was.
    const fs::path own = render.home.configHome() / "Clavio" / "settings.json";
    writeFile(own, "{garbled");
    r = render.run({"--out", out});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fs::exists(out));
    EXPECT_EQ(readFile(own), "{garbled");
    EXPECT_EQ(filesIn(own.parent_path()), std::vector<std::string>{"settings.json"});
}

TEST(CliRender, PacksByNameOrFolderAndOneThatFailsRendersSilenceWithAWarning) {
    Render render;
    const fs::path& dir = render.dir.path();
    auto r = render.run({"--pack", "NoSuchPack", "--out", (dir / "none.wav").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[Clavio] Could not load sound pack 'NoSuchPack'"), std::string::npos);
    EXPECT_NE(r.output.find("warning: the sound pack 'NoSuchPack' could not be loaded"),
              std::string::npos)
        << r.output;
    const DecodedAudio silent = decodeWav(dir / "none.wav");
    EXPECT_GT(silent.frameCount, 48000u);
    EXPECT_EQ(peak(silent.frames), 0.0f);

    fs::copy(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks" / "Bluebell", dir / "Mine",
             fs::copy_options::recursive);
    r = render.run({"--pack", (dir / "Mine").string() + "/", "--out", (dir / "o.wav").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("pack Mine"), std::string::npos) << r.output;
    EXPECT_GT(peak(decodeWav(dir / "o.wav").frames), 0.01f);
}

TEST(CliRender, HarderStrikesAreLouderAndBrighterAndTheSameSeedGivesTheSameBytes) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(5, 0.008, 0.12).write(dir / "t.jsonl"));
    for (const auto& [seed, out] : {std::pair{"3", "a"}, {"3", "b"}, {"4", "c"}}) {
        const auto r = runClavioCli({"render", "--trace", (dir / "t.jsonl").string(), "--seed",
                                     seed, "--out", (dir / out).string() + ".wav", "--events",
                                     (dir / out).string() + ".jsonl"});
        ASSERT_EQ(r.status, 0) << r.output;
    }
    EXPECT_EQ(readFile(dir / "a.wav"), readFile(dir / "b.wav"));
    EXPECT_EQ(readFile(dir / "a.jsonl"), readFile(dir / "b.jsonl"));
    EXPECT_NE(readFile(dir / "a.wav"), readFile(dir / "c.wav"));

    const DecodedAudio audio = decodeWav(dir / "a.wav");
    ASSERT_EQ(audio.channelCount, 2u);
    ASSERT_EQ(audio.sampleRate, 48000.0);
    const auto mono = toMono(audio.frames, 2);
    double peakOf[2] = {0, 0}, centroidOf[2] = {0, 0};
    int count[2] = {0, 0};
    for (const auto& e : jsonLines(dir / "a.jsonl")) {
        if (!e.contains("release")) {
            const int hard = e.at("velocity").get<double>() > 0.5 ? 1 : 0;
            const auto at = std::size_t(
                (e.at("classifiedAt").get<std::uint64_t>() - kStrikeTraceOrigin) * 48 / 1'000'000);
            ASSERT_LT(at + 1440, mono.size());
            const std::span<const float> onset(mono.data() + at, 1440); // 30 ms
            peakOf[hard] += peak(onset);
            centroidOf[hard] += spectralCentroidHz(onset, 48000.0, Window::hann);
            ++count[hard];
        }
    }
    ASSERT_EQ(count[0], 5);
    ASSERT_EQ(count[1], 5);
    EXPECT_GT(peakOf[1], 1.5 * peakOf[0]);
    EXPECT_GT(centroidOf[1], 1.1 * centroidOf[0]);
}

TEST(CliRender, DemoVelocitiesRiseWithTheStrikeForcesAndCalibrationUsesEveryStrike) {
    ScopedXdgHome home;
    TempDir dir;
    auto r = runClavioCli({"render", "--trace", "demo", "--out", (dir / "demo.wav").string(),
                           "--events", (dir / "demo.jsonl").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Wrote " + (dir / "demo.wav").string()), std::string::npos) << r.output;
    std::map<std::pair<std::uint64_t, int>, double> velocity;
    for (const auto& e : jsonLines(dir / "demo.jsonl")) {
        if (!e.contains("release")) {
            velocity[{e.at("t"), e.at("code")}] = e.at("velocity");
        }
    }
    const auto truth = jsonLines(kDemo / "demo.truth.jsonl");
    std::vector<double> forces, velocities;
    for (const auto& t : truth) {
        if (const auto it = velocity.find({t.at("t"), t.at("code")}); it != velocity.end()) {
            forces.push_back(t.at("force"));
            velocities.push_back(it->second);
        }
    }
    // Nearly every struck key is classified (a key within the adaptive
    // classifier's minimum gap of the previous one is not).
    EXPECT_GE(double(forces.size()), 0.9 * double(truth.size()));
    const double rho = spearman(forces, velocities);
    RecordProperty("spearman", std::to_string(rho));
    EXPECT_GT(rho, 0.8);

    r = runClavioCli({"calibrate", "--trace", "demo"});
    ASSERT_EQ(r.status, 0) << r.output;
    const auto json = nlohmann::json::parse(r.output.substr(r.output.find('{')));
    EXPECT_EQ(json.at("sampleCount").get<std::size_t>(), truth.size()) << "one score per press";
    EXPECT_LT(json.at("recommendedSoftThreshold"), json.at("recommendedMediumThreshold"));
    EXPECT_LT(json.at("recommendedMediumThreshold"), json.at("recommendedHardThreshold"));
    EXPECT_GT(json.at("recommendedHardCap"), json.at("maxScore"));
    ASSERT_TRUE(alternatingStrikes(2, 0.01, 0.05).write(dir / "t.jsonl"));
    r = runClavioCli({"calibrate", "--trace", (dir / "t.jsonl").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("4 presses were recorded; calibration needs at least 10"),
              std::string::npos)
        << r.output;
}

TEST(DemoSession, TwentySecondsAt1kHzWithTheTypingItsTruthListsAndAForceSizingEachBump) {
    std::vector<TraceRecord> records;
    ASSERT_FALSE(readTrace(kDemo / "demo.trace.jsonl", records));
    std::vector<std::pair<std::uint64_t, double>> magnitudes; // (t, |a|) of every report
    std::vector<TraceRecord> presses; // key downs (no repeats) and shift presses
    std::map<std::uint16_t, int> downs;
    std::map<std::uint16_t, std::uint64_t> downAt;
    int repeats = 0;
    std::uint64_t repeatFrom = 0, firstRepeat = 0, lastRepeat = 0;
    for (const auto& r : records) {
        AccelAxes a;
        if (r.type == TraceRecord::Type::accel) {
            ASSERT_TRUE(decodeAccelReport(r.accel.data(), r.accel.size(), &a));
            magnitudes.emplace_back(r.t, std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z));
        } else if (r.key.kind == TraceKeyKind::down && r.key.repeat) {
            repeatFrom = repeats++ ? repeatFrom : downAt[r.key.code];
            firstRepeat = firstRepeat ? firstRepeat : r.t;
            lastRepeat = r.t;
        } else if (r.key.kind == TraceKeyKind::down ||
                   (r.key.kind == TraceKeyKind::flags && r.key.flags == kFlagShift)) {
            presses.push_back(r);
            downs[r.key.kind == TraceKeyKind::down ? r.key.code : 0xFFFF] += 1;
            downAt[r.key.code] = r.t;
        }
    }
    const double seconds = double(records.back().t - records.front().t) * 1e-9;
    EXPECT_NEAR(seconds, 20.0, 2.0);
    EXPECT_NEAR(double(magnitudes.size()) / seconds, 1000.0, 10.0);
    for (std::size_t i = 1; i < magnitudes.size(); ++i) {
        ASSERT_NEAR(double(magnitudes[i].first - magnitudes[i - 1].first), 1e6, 2e5);
    }
    EXPECT_NEAR(magnitudes.front().second, 1.0, 0.01) << "resting near 1 g";
    // Capitals, space, enter, backspace and one autorepeat run.
    EXPECT_GE(downs[0xFFFF], 2);
    EXPECT_GE(downs[49], 5);
    EXPECT_GE(downs[36], 2);
    EXPECT_GE(downs[51], 2);
    // One held key repeats at about 30 a second after half a second.
    EXPECT_GE(repeats, 15);
    EXPECT_NEAR(double(firstRepeat - repeatFrom) * 1e-9, 0.5, 0.01);
    EXPECT_NEAR(double(repeats - 1) / (double(lastRepeat - firstRepeat) * 1e-9), 30.0, 1.0);

    // The truth lists every press with a force in [0, 1] that sizes its bump:
    // the largest deviation of |a| from its mean over the 50 ms before, within
    // [t - 10 ms, t + 20 ms].
    const auto truth = jsonLines(kDemo / "demo.truth.jsonl");
    ASSERT_EQ(truth.size(), presses.size());
    std::vector<double> forces, peaks;
    for (std::size_t i = 0; i < truth.size(); ++i) {
        const std::uint64_t t = truth[i].at("t");
        ASSERT_EQ(t, presses[i].t);
        ASSERT_EQ(truth[i].at("code"), presses[i].key.code);
        const double force = truth[i].at("force"), amplitude = truth[i].at("amplitude");
        ASSERT_TRUE(force >= 0.0 && force <= 1.0);
        EXPECT_NEAR(amplitude, 0.001 * std::pow(200.0, force), 1e-9);
        auto at = [&](std::uint64_t ticks) {
            return std::lower_bound(magnitudes.begin(), magnitudes.end(), std::pair(ticks, -1.0));
        };
        const auto from = at(t - 60'000'000), to = at(t - 10'000'000);
        double baseline = 0, bump = 0;
        for (auto it = from; it != to; ++it) {
            baseline += it->second / double(to - from);
        }
        for (auto it = to; it != magnitudes.end() && it->first <= t + 20'000'000; ++it) {
            bump = std::max(bump, std::abs(it->second - baseline));
        }
        EXPECT_NEAR(bump, amplitude, 0.12 * amplitude + 0.0015) << "strike at " << t;
        forces.push_back(force);
        peaks.push_back(bump);
    }
    EXPECT_GT(spearman(forces, peaks), 0.95);
}

TEST(DemoSession, TheSameSeedGivesTheSameBytes) {
    TempDir dir;
    const fs::path tool = CLAVIO_BUILD_DIR "/bin/clavio-demo-session";
    ASSERT_EQ(runProgram(tool, {"--out-dir", (dir / "a").string()}).status, 0);
    ASSERT_EQ(runProgram(tool, {"--out-dir", (dir / "b").string(), "--seed", "7"}).status, 0);
    EXPECT_TRUE(readFile(dir / "a" / "demo.trace.jsonl") == readFile(kDemo / "demo.trace.jsonl"));
    EXPECT_TRUE(readFile(dir / "a" / "demo.truth.jsonl") == readFile(kDemo / "demo.truth.jsonl"));
    EXPECT_FALSE(readFile(dir / "b" / "demo.trace.jsonl") == readFile(kDemo / "demo.trace.jsonl"));
}
