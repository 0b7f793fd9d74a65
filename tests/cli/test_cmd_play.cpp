// `play` in real time. Through SDL's disk driver: each press sounds the
// designed delay after its key, by the program's own measurement on the
// process clock, and the audio written holds each sound at the frame that
// measurement names. Through the dummy driver: Ctrl-C ends a play early.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/audio_analysis.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/strike_trace.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

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
    const auto r = runClavioCli({"play", "--trace", (dir / "t.jsonl").string(), "--pack",
                                 pack.string(), "--tail", "0.4", "--delays"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Key event to first rendered frame, 3 presses"), std::string::npos)
        << r.output;

    // The program's own account: each key at its time in the trace, its
    // sound from the first render cycle after the designed 30 ms. The disk
    // driver paces itself with sleeps, so on a busy machine a cycle may come
    // late; the bound only rules out a lost or badly delayed press.
    struct Delay {
        double keySeconds;
        std::size_t frame;
        double ms;
    };
    std::vector<Delay> delays;
    const std::regex row(R"(\n +([0-9.]+) +([0-9]+) +([0-9.]+) ms)");
    for (std::sregex_iterator it(r.output.begin(), r.output.end(), row), end; it != end; ++it) {
        delays.push_back(
            {std::stod((*it)[1]), std::size_t(std::stoull((*it)[2])), std::stod((*it)[3])});
    }
    ASSERT_EQ(delays.size(), 3u) << r.output;
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(delays[i].keySeconds, 0.6 + 0.6 * i, 1e-3);
        EXPECT_GE(delays[i].ms, 30.0);
        EXPECT_LT(delays[i].ms, 130.0);
    }

    // The written audio holds exactly these three sounds, each starting in
    // the render cycle the program measured (a cycle is 256 frames; the
    // sample's own attack may take a few frames to cross the threshold).
    // SDL's device thread may write a period or two of silence while the
    // device is still paused, before the first callback: that shifts the
    // file by whole periods, the same for every press.
    const std::string bytes = readFile(dir / "out.raw");
    std::vector<float> stereo(bytes.size() / sizeof(float));
    std::memcpy(stereo.data(), bytes.data(), stereo.size() * sizeof(float));
    const auto mono = toMono(stereo, 2);
    const auto found = onsets(mono, 1e-3f, 4800);
    ASSERT_EQ(found.size(), 3u) << "the three presses, and nothing else";
    ASSERT_GE(found[0], delays[0].frame);
    const std::size_t shift = (found[0] - delays[0].frame) / 256 * 256;
    EXPECT_LE(shift, 512u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(found[i], delays[i].frame + shift) << "press " << i;
        EXPECT_LT(found[i], delays[i].frame + shift + 256) << "press " << i;
    }
}

TEST(CliPlay, CtrlCEndsThePlayWithWhatWasMeasured) {
    ScopedXdgHome home;
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    ChildProcess play(clavioCli(), {"play", "--trace", "demo"});
    ASSERT_TRUE(play.started());
    // The demo's first key comes about a second in; wait for a few presses.
    waitFor([&] { return play.output().find("Keyboard capture started") != std::string::npos; }, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    play.signal(SIGINT);
    ASSERT_EQ(play.wait(5.0), 0) << play.output();
    const std::string out = play.output();
    EXPECT_NE(out.find("Stopped before the end of the trace."), std::string::npos) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(first rendered frame, ([0-9]+) presses)")))
        << out;
    EXPECT_GT(std::stoi(m[1]), 0);
    EXPECT_LT(std::stoi(m[1]), 95);
}
