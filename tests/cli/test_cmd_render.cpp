// The render and calibrate commands end to end: the built program, the
// built-in packs and the bundled demo session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <numeric>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/audio_analysis.h"
#include "engine/ports/audio_decoder.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/strike_trace.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = "{\"format\":\"clavio-trace\",\"version\":1}\n";

std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(nlohmann::json::parse(line));
        }
    }
    return lines;
}

DecodedAudio decodeWav(const fs::path& path) {
    platform::SndfileDecoder decoder;
    DecodedAudio audio;
    std::string error;
    EXPECT_TRUE(decoder.decode(path, audio, error)) << error;
    return audio;
}

// Ranks with ties sharing their mean rank.
std::vector<double> ranks(const std::vector<double>& values) {
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return values[a] < values[b]; });
    std::vector<double> r(values.size());
    for (std::size_t i = 0; i < order.size();) {
        std::size_t j = i;
        while (j + 1 < order.size() && values[order[j + 1]] == values[order[i]]) {
            ++j;
        }
        for (std::size_t k = i; k <= j; ++k) {
            r[order[k]] = 0.5 * double(i + j) + 1.0;
        }
        i = j + 1;
    }
    return r;
}

double spearman(const std::vector<double>& a, const std::vector<double>& b) {
    const auto ra = ranks(a), rb = ranks(b);
    const double n = double(ra.size());
    const double ma = std::accumulate(ra.begin(), ra.end(), 0.0) / n;
    const double mb = std::accumulate(rb.begin(), rb.end(), 0.0) / n;
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < ra.size(); ++i) {
        sab += (ra[i] - ma) * (rb[i] - mb);
        saa += (ra[i] - ma) * (ra[i] - ma);
        sbb += (rb[i] - mb) * (rb[i] - mb);
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

} // namespace

TEST(CliRender, MalformedTracesAreRefusedWithTheirLineAndNoWav) {
    ScopedXdgHome home;
    const std::string down = R"({"t":5,"key":"down","code":0,"flags":0,"repeat":false})";
    const struct {
        std::string text;
        int line;
    } cases[] = {
        {"", 1},
        {"{\"format\":\"other\",\"version\":1}\n" + down + "\n", 1},
        {"{\"format\":\"clavio-trace\",\"version\":2}\n" + down + "\n", 1},
        {kHeader + "not json\n", 2},
        {kHeader + down + "\n{\"key\":\"up\",\"code\":0,\"flags\":0}\n", 3},
        {kHeader + R"({"t":-1,"key":"up","code":0,"flags":0})" + "\n", 2},
        {kHeader + R"({"t":5,"accel":"0g"})" + "\n", 2},
        {kHeader + R"({"t":5,"key":"down","code":70000,"flags":0,"repeat":false})" + "\n", 2},
        {kHeader + R"({"t":5,"key":"down","code":0,"flags":0})" + "\n", 2},
        {kHeader + R"({"t":5,"key":"press","code":0,"flags":0})" + "\n", 2},
        {kHeader + R"({"t":5})" + "\n", 2},
        {kHeader + down + "\n" + down + "\n" + R"({"t":4,"key":"up","code":0,"flags":0})" + "\n",
         4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        writeFile(dir / "t.jsonl", c.text);
        const auto r =
            runCli({"render", "--trace", (dir / "t.jsonl").string(), "--out",
                    (dir / "out.wav").string(), "--events", (dir / "events.jsonl").string()});
        EXPECT_EQ(r.exitStatus, 1) << r.output;
        EXPECT_NE(r.output.find("line " + std::to_string(c.line) + ":"), std::string::npos)
            << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
        EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"t.jsonl"});
    }
}

TEST(CliRender, OutputsThatCannotBeWrittenFailBeforeAnyWork) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(1, 0.01, 0.05).write(dir / "t.jsonl"));
    const std::string trace = (dir / "t.jsonl").string();
    const std::string before = readFile(trace);
    fs::create_directories(dir / "folder");

    auto r = runCli({"render", "--trace", trace, "--out", (dir / "missing" / "o.wav").string()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("missing"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("AVAudioEngine"), std::string::npos) << "rendering began: " << r.output;

    r = runCli({"render", "--trace", trace, "--out", (dir / "o.wav").string(), "--events",
                (dir / "folder").string()});
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_FALSE(fs::exists(dir / "o.wav"));

    r = runCli({"render", "--trace", trace, "--out", trace});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(readFile(trace), before);
    EXPECT_EQ(filesIn(dir.path()), (std::vector<std::string>{"folder", "t.jsonl"}));
}

TEST(CliRender, SettingsFileGivenMustDecodeButOwnSettingsFallBack) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(1, 0.01, 0.05).write(dir / "t.jsonl"));
    const std::string trace = (dir / "t.jsonl").string();
    writeFile(dir / "bad.json", R"({"masterVolume":"loud"})");

    auto r = runCli({"render", "--trace", trace, "--settings", (dir / "bad.json").string(), "--out",
                     (dir / "o.wav").string()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("bad.json"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("masterVolume"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "o.wav"));
    r = runCli({"render", "--trace", trace, "--settings", (dir / "absent.json").string(), "--out",
                (dir / "o.wav").string()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_FALSE(fs::exists(dir / "o.wav"));

    // The user's own garbled settings: defaults, and the file stays as it was.
    const fs::path own = home.configHome() / "Clavio" / "settings.json";
    writeFile(own, "{garbled");
    r = runCli({"render", "--trace", trace, "--out", (dir / "o.wav").string()});
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_TRUE(fs::exists(dir / "o.wav"));
    EXPECT_EQ(readFile(own), "{garbled");
    EXPECT_EQ(filesIn(own.parent_path()), std::vector<std::string>{"settings.json"});
}

TEST(CliRender, SameSeedGivesTheSameBytes) {
    ScopedXdgHome home;
    TempDir dir;
    StrikeTrace trace = alternatingStrikes(3, 0.01, 0.09);
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    auto renderWith = [&](const std::string& seed, const std::string& out) {
        const auto r =
            runCli({"render", "--trace", (dir / "t.jsonl").string(), "--seed", seed, "--out",
                    (dir / out).string(), "--events", (dir / (out + ".jsonl")).string()});
        EXPECT_EQ(r.exitStatus, 0) << r.output;
    };
    renderWith("3", "a.wav");
    renderWith("3", "b.wav");
    renderWith("4", "c.wav");
    const std::string a = readFile(dir / "a.wav");
    EXPECT_GT(a.size(), 48000u * 8);
    EXPECT_EQ(a, readFile(dir / "b.wav"));
    EXPECT_EQ(readFile(dir / "a.wav.jsonl"), readFile(dir / "b.wav.jsonl"));
    EXPECT_NE(a, readFile(dir / "c.wav"));
}

TEST(CliRender, HarderStrikesAreLouderAndBrighter) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(5, 0.008, 0.12).write(dir / "t.jsonl"));
    const auto r = runCli({"render", "--trace", (dir / "t.jsonl").string(), "--out",
                           (dir / "o.wav").string(), "--events", (dir / "e.jsonl").string()});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    const DecodedAudio audio = decodeWav(dir / "o.wav");
    ASSERT_EQ(audio.channelCount, 2u);
    ASSERT_EQ(audio.sampleRate, 48000.0);
    const auto mono = toMono(audio.frames, 2);
    const auto events = jsonLines(readFile(dir / "e.jsonl"));
    const std::uint64_t origin = kStrikeTraceOrigin;

    double peakOf[2] = {0, 0}, centroidOf[2] = {0, 0};
    int count[2] = {0, 0};
    for (const auto& e : events) {
        if (e.contains("release")) {
            continue;
        }
        const int hard = e.at("velocity").get<double>() > 0.5 ? 1 : 0;
        const auto at = std::size_t((e.at("classifiedAt").get<std::uint64_t>() - origin) * 48000 /
                                    1'000'000'000);
        ASSERT_LT(at + 1440, mono.size());
        const std::span<const float> onset(mono.data() + at, 1440); // 30 ms
        peakOf[hard] += peak(onset);
        centroidOf[hard] += spectralCentroidHz(onset, 48000.0, Window::hann);
        ++count[hard];
    }
    ASSERT_EQ(count[0], 5);
    ASSERT_EQ(count[1], 5);
    std::cout << "soft onsets: peak " << peakOf[0] / 5 << ", centroid " << centroidOf[0] / 5
              << " Hz; hard onsets: peak " << peakOf[1] / 5 << ", centroid " << centroidOf[1] / 5
              << " Hz\n";
    EXPECT_GT(peakOf[1], 1.5 * peakOf[0]);
    EXPECT_GT(centroidOf[1], 1.1 * centroidOf[0]);
}

TEST(CliRender, DemoVelocitiesRiseWithTheStrikeForces) {
    ScopedXdgHome home;
    TempDir dir;
    const auto r = runCli({"render", "--trace", "demo", "--out", (dir / "demo.wav").string(),
                           "--events", (dir / "demo.jsonl").string()});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("VELOCITY"), std::string::npos);
    EXPECT_NE(r.output.find("Wrote " + (dir / "demo.wav").string()), std::string::npos) << r.output;

    std::map<std::pair<std::uint64_t, int>, double> velocity;
    for (const auto& e : jsonLines(readFile(dir / "demo.jsonl"))) {
        if (!e.contains("release")) {
            velocity[{e.at("t").get<std::uint64_t>(), e.at("code").get<int>()}] =
                e.at("velocity").get<double>();
        }
    }
    const auto truth =
        jsonLines(readFile(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "demo" / "demo.truth.jsonl"));
    std::vector<double> forces, velocities;
    for (const auto& t : truth) {
        const auto it = velocity.find({t.at("t").get<std::uint64_t>(), t.at("code").get<int>()});
        if (it != velocity.end()) {
            forces.push_back(t.at("force").get<double>());
            velocities.push_back(it->second);
        }
    }
    // Nearly every struck key is classified (a key within the adaptive
    // classifier's minimum gap of the previous one is not).
    EXPECT_GE(double(forces.size()), 0.9 * double(truth.size()));
    const double rho = spearman(forces, velocities);
    std::cout << "demo session: Spearman rank correlation of strike force and velocity " << rho
              << " over " << forces.size() << " of " << truth.size() << " strikes\n";
    RecordProperty("spearman", std::to_string(rho));
    EXPECT_GT(rho, 0.8);
}

TEST(CliRender, PackThatFailsToLoadRendersSilenceWithAWarning) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(1, 0.01, 0.05).write(dir / "t.jsonl"));
    const auto r = runCli({"render", "--trace", (dir / "t.jsonl").string(), "--pack", "NoSuchPack",
                           "--out", (dir / "o.wav").string()});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("[Clavio] Could not load sound pack 'NoSuchPack'"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("warning: the sound pack 'NoSuchPack' could not be loaded"),
              std::string::npos)
        << r.output;
    const DecodedAudio audio = decodeWav(dir / "o.wav");
    EXPECT_GT(audio.frameCount, 48000u);
    EXPECT_EQ(peak(audio.frames), 0.0f);
}

TEST(CliRender, PackGivenAsAFolderPath) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(1, 0.01, 0.05).write(dir / "t.jsonl"));
    fs::copy(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks" / "Bluebell", dir / "Mine",
             fs::copy_options::recursive);
    const auto r = runCli({"render", "--trace", (dir / "t.jsonl").string(), "--pack",
                           (dir / "Mine").string() + "/", "--out", (dir / "o.wav").string()});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("pack Mine"), std::string::npos) << r.output;
    EXPECT_GT(peak(decodeWav(dir / "o.wav").frames), 0.01f);
}

TEST(CliCalibrate, PrintsTheResultOrSaysTooFewPresses) {
    ScopedXdgHome home;
    auto r = runCli({"calibrate", "--trace", "demo"});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    const auto json = nlohmann::json::parse(r.output.substr(r.output.find('{')));
    // One score per classified press: every strike of the demo session.
    const auto truth = readFile(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "demo" / "demo.truth.jsonl");
    EXPECT_EQ(json.at("sampleCount").get<long>(), std::count(truth.begin(), truth.end(), '\n'));
    EXPECT_LT(json.at("recommendedSoftThreshold").get<double>(),
              json.at("recommendedMediumThreshold").get<double>());
    EXPECT_LT(json.at("recommendedMediumThreshold").get<double>(),
              json.at("recommendedHardThreshold").get<double>());
    EXPECT_GT(json.at("recommendedHardCap").get<double>(), json.at("maxScore").get<double>());

    TempDir dir;
    ASSERT_TRUE(alternatingStrikes(2, 0.01, 0.05).write(dir / "t.jsonl"));
    r = runCli({"calibrate", "--trace", (dir / "t.jsonl").string()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.output.find("4 presses were recorded; calibration needs at least 10"),
              std::string::npos)
        << r.output;
}
