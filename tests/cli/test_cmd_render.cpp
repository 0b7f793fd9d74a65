// The render and calibrate commands end to end, and the bundled demo session
// they run on: its strikes' forces against the velocities the render gives.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "engine/ports/audio_decoder.h"
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

std::set<std::string> filesIn(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
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
        std::vector<double> r(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) {
            for (double x : v) {
                r[i] += x < v[i] ? 1.0 : x == v[i] ? 0.5 : 0.0;
            }
        }
        return r; // each rank plus one half: the mean below cancels it
    };
    const auto ra = ranks(a), rb = ranks(b);
    const double mean = double(ra.size()) / 2;
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
    // Each kind of bad line is SessionTrace's test; here the command refuses first.
    const std::pair<std::string, int> cases[] = {
        {"", 1},
        {"{\"format\":\"clavio-trace\",\"version\":2}\n" + down + "\n", 1},
        {header + R"({"t":5,"accel":"0g"})" + "\n", 2},
        {header + down + "\n" + down + "\n" + R"({"t":4,"key":"up","code":0,"flags":0})" + "\n", 4},
    };
    for (const auto& [text, line] : cases) {
        SCOPED_TRACE(text);
        TempDir dir;
        writeFile(dir / "t.jsonl", text);
        const auto r =
            runClavioCli({"render", "--trace", (dir / "t.jsonl").string(), "--out",
                          (dir / "out.wav").string(), "--events", (dir / "events.jsonl").string()});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("line " + std::to_string(line) + ":"), std::string::npos)
            << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
        EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"t.jsonl"});
    }
}

TEST(CliRender, UnwritableOutputsAndBadSettingsFailBeforeAnyWorkButOwnSettingsFallBack) {
    Render render;
    const fs::path& dir = render.dir.path();
    const std::string before = readFile(render.trace), out = (dir / "o.wav").string();
    fs::create_directories(dir / "folder");
    writeFile(dir / "bad.json", R"({"masterVolume":"loud"})");
    const std::pair<std::vector<std::string>, std::vector<std::string>> refusals[] = {
        {{"--out", (dir / "missing" / "o.wav").string()}, {"missing"}},
        {{"--out", out, "--events", (dir / "folder").string()}, {}},
        {{"--out", render.trace}, {}},
        {{"--settings", (dir / "bad.json").string(), "--out", out}, {"bad.json", "masterVolume"}},
        {{"--settings", (dir / "absent.json").string(), "--out", out}, {}},
    };
    for (const auto& [args, messages] : refusals) {
        const auto r = render.run(args);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_EQ(r.output.find("Audio output started"), std::string::npos) << "rendering began";
        for (const auto& message : messages) {
            EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
        }
    }
    EXPECT_EQ(readFile(render.trace), before);
    EXPECT_EQ(filesIn(dir), (std::set<std::string>{"bad.json", "folder", "t.jsonl"}));
    // The user's own garbled settings: defaults, and the file stays as it was.
    const fs::path own = render.home.configHome() / "Clavio" / "settings.json";
    writeFile(own, "{garbled");
    const auto r = render.run({"--out", out});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fs::exists(out));
    EXPECT_NE(r.output.find("warning: " + own.string() + ": "), std::string::npos) << r.output;
    EXPECT_EQ(readFile(own), "{garbled");
    EXPECT_EQ(filesIn(own.parent_path()), std::set<std::string>{"settings.json"});
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Outputs are compared as files, links are followed only where the kernel's
// protected_symlinks would, key codes are private, and a render that fails
// (here: no room for the events) leaves every output as it was.
TEST(CliRender, OutputsAreWrittenSafelyOrNotAtAll) {
    Render render;
    const fs::path& dir = render.dir.path();
    const fs::path wav = dir / "o.wav", events = dir / "e.jsonl";
    writeFile(wav, "old");
    ::chmod(wav.c_str(), 0600);
    fs::create_symlink(wav, dir / "link.wav");
    fs::create_hard_link(wav, dir / "hard.wav");
    for (const char* other : {"link.wav", "hard.wav"}) {
        const auto r = render.run({"--out", wav.string(), "--events", (dir / other).string()});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("name the same file"), std::string::npos) << r.output;
    }
    ASSERT_EQ(render.run({"--out", wav.string(), "--events", events.string()}).status, 0);
    EXPECT_EQ(modeOf(wav), 0600u) << "a stricter mode is kept";
    EXPECT_EQ(modeOf(events), 0600u) << "key codes are private";

    fs::create_directory(dir / "shared");
    ::chmod((dir / "shared").c_str(), 01777);
    fs::create_symlink(dir / "victim.wav", dir / "shared" / "planted.wav");
    if (::geteuid() == 0 && ::lchown((dir / "shared" / "planted.wav").c_str(), 65534, 65534) == 0) {
        const auto r = render.run({"--out", (dir / "shared" / "planted.wav").string()});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("not following it"), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(dir / "victim.wav"));
    } else {
        std::cout << "[  SKIPPED ] a link owned by another user needs root\n";
    }

    fs::create_directory(dir / "small");
    if (::mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=8k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    }
    std::ofstream(dir / "small" / "filler") << std::string(65536, 'x'); // fills it
    writeFile(wav, "an earlier render");
    const auto r = render.run({"--out", wav.string(), "--events", (dir / "small" / "e").string()});
    ::umount2((dir / "small").c_str(), MNT_DETACH);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(readFile(wav), "an earlier render")
        << "the WAV was replaced although the render failed";
    EXPECT_EQ(filesIn(dir), (std::set<std::string>{"e.jsonl", "hard.wav", "link.wav", "o.wav",
                                                   "shared", "small", "t.jsonl"}));
}

// A volume far past full scale plays at full scale, with one line naming it.
TEST(CliRender, OutOfRangeSettingsAreClampedWhereUsedWithOneLine) {
    Render render;
    const fs::path settings = render.dir / "loud.json";
    writeFile(settings, R"({"masterVolume":3e38})");
    const auto r =
        render.run({"--settings", settings.string(), "--out", (render.dir / "o.wav").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    const auto audio = decodeWav(render.dir / "o.wav");
    const auto [low, high] = std::minmax_element(audio.frames.begin(), audio.frames.end());
    EXPECT_GT(*high, 0.01f);
    EXPECT_LE(std::max(-*low, *high), 1.0f);
    const auto line = r.output.find("[Clavio] masterVolume 3e+38 refused");
    EXPECT_NE(line, std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("masterVolume", line + 20), std::string::npos) << "logged once";
}

// A refused classification window is logged once and the default one is
// used: the events, streamed out while the render runs, come out as without it.
TEST(CliRender, RefusedWindowIsLoggedOnceAndItsEventsAreTheDefaultWindows) {
    Render render;
    const fs::path& dir = render.dir.path();
    writeFile(dir / "s.json", R"({"searchPostMs":-5})");
    std::string events[2];
    for (const int refused : {0, 1}) {
        std::vector<std::string> args{"render",
                                      "--trace",
                                      "demo",
                                      "--out",
                                      (dir / "o.wav").string(),
                                      "--events",
                                      (dir / "e.jsonl").string()};
        if (refused) {
            args.insert(args.end(), {"--settings", (dir / "s.json").string()});
        }
        const auto r = runClavioCli(args);
        ASSERT_EQ(r.status, 0) << r.output;
        const auto line = r.output.find("[Clavio] searchPostMs -5 refused");
        EXPECT_EQ(line != std::string::npos, refused == 1) << r.output;
        EXPECT_EQ(r.output.find("searchPostMs", line == std::string::npos ? 0 : line + 20),
                  std::string::npos)
            << "logged once";
        events[refused] = readFile(dir / "e.jsonl");
    }
    EXPECT_FALSE(events[0].empty());
    EXPECT_EQ(events[0], events[1]);
}

TEST(CliRender, PacksByNameOrFolderAndAnUnknownOneIsRefused) {
    Render render;
    const fs::path& dir = render.dir.path();
    auto r = render.run({"--pack", "NoSuchPack", "--out", (dir / "none.wav").string()});
    ASSERT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("no sound pack 'NoSuchPack'; the packs are: "), std::string::npos);
    EXPECT_EQ(r.output.find("warning: the sound pack 'NoSuchPack' could not be loaded"),
              std::string::npos)
        << r.output;
    EXPECT_FALSE(fs::exists(dir / "none.wav"));

    fs::copy(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks" / "Bluebell", dir / "Mine",
             fs::copy_options::recursive);
    r = render.run({"--pack", (dir / "Mine").string() + "/", "--out", (dir / "o.wav").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("pack Mine"), std::string::npos) << r.output;
    EXPECT_GT(peak(decodeWav(dir / "o.wav").frames), 0.01f);
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
    // Nearly every struck key is classified (not those within the minimum gap).
    EXPECT_GE(double(forces.size()), 0.9 * double(truth.size()));
    EXPECT_GT(spearman(forces, velocities), 0.8);

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

    // Clicks alone, measured by the microphone: the scores follow the clicks' peaks.
    StrikeTrace clicks;
    clicks.seconds = 8.0;
    clicks.withAccelerometer = false;
    clicks.withMicrophone = true;
    for (int i = 0; i < 12; ++i) {
        clicks.strikes.push_back({0.5 + 0.6 * i, 30, 0.025 * (i + 1)});
    }
    ASSERT_TRUE(clicks.write(dir / "mic.jsonl"));
    std::ofstream(dir / "mic.json") << R"({"velocitySource":"microphone"})";
    r = runClavioCli({"calibrate", "--trace", (dir / "mic.jsonl").string(), "--settings",
                      (dir / "mic.json").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    const auto mic = nlohmann::json::parse(r.output.substr(r.output.find('{')));
    EXPECT_EQ(mic.at("sampleCount"), 12);
    EXPECT_NEAR(mic.at("maxScore").get<double>(), 0.3, 0.1) << r.output;
}

TEST(CliCalibrate, ResetKeysDeletesOnlyTheLearnedLevelsAndNeedsNoTrace) {
    const TempDir state;
    const ScopedEnv env("XDG_STATE_HOME", state.path().string());
    const auto file = state.path() / "Clavio" / "key-levels.json";
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "{}";
    std::ofstream(state.path() / "Clavio" / "other") << "kept";
    CliRun r = runClavioCli({"calibrate", "--reset-keys"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(std::filesystem::exists(state.path() / "Clavio" / "other"));
    r = runClavioCli({"calibrate", "--reset-keys"});
    EXPECT_EQ(r.status, 0) << r.output;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"calibrate"},
          {"calibrate", "--reset-keys", "--trace", "demo"}}) {
        EXPECT_GE(runClavioCli(args).status, 100) << args.size();
    }
}
