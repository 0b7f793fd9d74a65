// `play` in real time through SDL's disk driver: the audio it writes holds
// the presses' sounds at the trace's spacing, and the program's own delay
// measurement covers every press.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include <nlohmann/json.hpp>

#include "audio_analysis.h"
#include "cli_runner.h"
#include "strike_trace.h"
#include "test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

std::vector<float> readRawStereo(const fs::path& path) {
    const std::string bytes = readFile(path);
    std::vector<float> frames(bytes.size() / sizeof(float));
    std::memcpy(frames.data(), bytes.data(), frames.size() * sizeof(float));
    return frames;
}

// Starts of sounds: a frame above the threshold after at least `gap` frames
// below it.
std::vector<std::size_t> onsets(const std::vector<float>& mono, float threshold, std::size_t gap) {
    std::vector<std::size_t> found;
    std::size_t quiet = gap;
    for (std::size_t i = 0; i < mono.size(); ++i) {
        if (std::abs(mono[i]) >= threshold) {
            if (quiet >= gap) {
                found.push_back(i);
            }
            quiet = 0;
        } else {
            ++quiet;
        }
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
    const auto r = runCli(
        {"play", "--trace", (dir / "t.jsonl").string(), "--pack", pack.string(), "--tail", "0.4"});
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_NE(r.output.find("Key event to first rendered frame, 3 presses"), std::string::npos)
        << r.output;
    std::smatch median;
    ASSERT_TRUE(std::regex_search(r.output, median, std::regex(R"(median ([0-9.]+) ms)")))
        << r.output;
    // The designed 30 ms, plus at most a few render periods.
    EXPECT_GE(std::stod(median[1]), 29.0);
    EXPECT_LT(std::stod(median[1]), 60.0);

    const auto mono = toMono(readRawStereo(dir / "out.raw"), 2);
    const auto found = onsets(mono, 1e-3f, 4800);
    ASSERT_EQ(found.size(), 3u) << "the three presses, and nothing else";
    // The disk driver writes a little faster than real time (SDL sleeps a
    // whole 5 ms per 5.33 ms period, so up to 6.7 % when its sleeps are
    // punctual), and a voice starts at the next 256-frame period.
    for (int i = 1; i < 3; ++i) {
        const double spacing = double(found[i] - found[i - 1]) / 48000.0;
        EXPECT_GT(spacing, 0.6 - 0.012) << "between press " << i - 1 << " and " << i;
        EXPECT_LT(spacing, 0.6 * 1.067 + 0.012) << "between press " << i - 1 << " and " << i;
    }
}
