// `play` in real time through SDL's disk driver: each press sounds the designed
// delay after its key, at the frame the program's own measurement names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "tests/support/audio_analysis.h"
#include "tests/support/child_process.h"
#include "tests/support/strike_trace.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

// Starts of sounds: a frame above the threshold after `gap` frames below it.
std::vector<std::size_t> onsets(const std::vector<float>& mono, float threshold, std::size_t gap) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0, quiet = gap; i < mono.size(); ++i) {
        const bool loud = std::abs(mono[i]) >= threshold;
        if (loud && quiet >= gap) {
            found.push_back(i);
        }
        quiet = loud ? 0 : quiet + 1;
    }
    return found;
}

} // namespace

TEST(CliPlay, DiskDriverOutputHoldsThePressesAtTheirTimes) {
    ScopedXdgHome home;
    TempDir dir;
    StrikeTrace trace;
    trace.seconds = 2.2;
    // Presses 0.6 s apart; releases are turned off below, so every sound is a press.
    for (int i = 0; i < 3; ++i) {
        trace.strikes.push_back({0.6 + 0.6 * i, 0, 0.02 + 0.04 * i, 0.2});
    }
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    // A pack without release sounds: the built-in Biscuit minus its releases.
    const fs::path pack = dir / "Presses";
    fs::copy(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks" / "Biscuit", pack,
             fs::copy_options::recursive);
    auto manifest = nlohmann::json::parse(readFile(pack / "pack.json"));
    manifest.erase("release");
    writeFile(pack / "pack.json", manifest.dump());

    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    const auto r = runClavioCli({"play", "--trace", (dir / "t.jsonl").string(), "--pack",
                                 pack.string(), "--tail", "0.4", "--delays"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Key event to first rendered frame, 3 presses"), std::string::npos)
        << r.output;

    // The program's own account: each key at its time in the trace, its
    // sound from the first render cycle after the designed 30 ms (the disk
    // driver paces itself with sleeps: the upper bound is loose).
    std::vector<std::size_t> frames; // each press's first rendered frame
    const std::regex row(R"(\n +([0-9.]+) +([0-9]+) +([0-9.]+) ms)");
    for (std::sregex_iterator it(r.output.begin(), r.output.end(), row), end; it != end; ++it) {
        EXPECT_NEAR(std::stod((*it)[1]), 0.6 + 0.6 * double(frames.size()), 1e-3);
        EXPECT_TRUE(std::stod((*it)[3]) >= 30.0 && std::stod((*it)[3]) < 130.0) << (*it)[3];
        frames.push_back(std::stoull((*it)[2]));
    }
    ASSERT_EQ(frames.size(), 3u) << r.output;

    // The audio holds exactly these three sounds, each in the 256-frame
    // render cycle the program measured; SDL may write a period or two of
    // silence before the first callback, shifting every press alike.
    const std::string bytes = readFile(dir / "out.raw");
    std::vector<float> stereo(bytes.size() / sizeof(float));
    std::memcpy(stereo.data(), bytes.data(), stereo.size() * sizeof(float));
    const auto mono = toMono(stereo, 2);
    const auto found = onsets(mono, 1e-3f, 4800);
    ASSERT_EQ(found.size(), 3u) << "the three presses, and nothing else";
    ASSERT_GE(found[0], frames[0]);
    const std::size_t shift = (found[0] - frames[0]) / 256 * 256;
    EXPECT_LE(shift, 512u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(found[i], frames[i] + shift) << "press " << i;
        EXPECT_LT(found[i], frames[i] + shift + 256) << "press " << i;
    }
}

// The period asked for is the one played at, and the key-to-ear estimate is
// the delays play lists plus the output latency it names (one period on the
// dummy driver, which has no server to ask).
TEST(CliPlay, KeyToEarEstimateAddsTheOutputLatencyToTheListedDelays) {
    ScopedXdgHome home;
    TempDir dir;
    StrikeTrace trace;
    trace.seconds = 1.6;
    for (int i = 0; i < 5; ++i) {
        trace.strikes.push_back({0.3 + 0.25 * i, 0, 0.05, 0.2});
    }
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    std::map<int, double> periodMs;
    for (int period : {128, 512}) {
        SCOPED_TRACE(period);
        const auto r = runClavioCli({"play", "--trace", (dir / "t.jsonl").string(), "--tail",
                                     "0.2", "--delays", "--period", std::to_string(period)});
        ASSERT_EQ(r.status, 0) << r.output;
        std::vector<double> delays;
        const std::regex row(R"(\n +[0-9.]+ +[0-9]+ +([0-9.]+) ms)");
        for (std::sregex_iterator it(r.output.begin(), r.output.end(), row), end; it != end;
             ++it) {
            delays.push_back(std::stod((*it)[1]));
        }
        ASSERT_GE(delays.size(), 5u) << r.output; // releases may sound too
        std::sort(delays.begin(), delays.end());
        std::smatch out, latency, ear;
        ASSERT_TRUE(std::regex_search(r.output, out,
                                      std::regex(R"(Output: dummy, ([0-9]+)-frame period at )"
                                                 R"(48000 Hz \(([0-9.]+) ms\))")))
            << r.output;
        EXPECT_EQ(std::stoi(out[1]), period);
        ASSERT_TRUE(std::regex_search(
            r.output, latency,
            std::regex(R"(Output latency: ([0-9.]+) ms by buffer arithmetic)")));
        ASSERT_TRUE(std::regex_search(r.output, ear,
                                      std::regex(R"(Key to ear, estimated: median ([0-9.]+) ms)")));
        periodMs[period] = std::stod(out[2]);
        EXPECT_EQ(std::stod(latency[1]), periodMs[period]);
        const double median = delays[(delays.size() + 1) / 2 - 1];
        EXPECT_NEAR(std::stod(ear[1]), median + periodMs[period], 0.011);
    }
    EXPECT_NEAR(periodMs[512], 4 * periodMs[128], 0.01);
}
