// The command line without an accelerometer and with packs that cannot be
// used: a trace without accelerometer records renders at the fixed strength,
// an unknown or broken --pack is refused before anything is written, and
// `packs` says which folders it skipped and why.
#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/strike_trace.h"
#include "tests/support/test_support.h"

using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

StrikeTrace keysOnly() {
    return {.withAccelerometer = false, .strikes = {{0.2, 0, 0.0}, {0.6, 49, 0.0}, {1.0, 36, 0.0}}};
}

} // namespace

TEST(CliFixedStrength, TraceWithoutAccelerometerRendersAtTheFixedVelocity) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(keysOnly().write(dir / "t.jsonl"));
    // 0.6 lies 0.05 above the hard threshold (0.55): hard, and with a
    // crossfade 0.2 wide also the medium layer.
    writeFile(dir / "s.json", R"({"fixedVelocity":0.6,"crossfadeWidth":0.2})");
    const auto r = runClavioCli({"render", "--trace", (dir / "t.jsonl").string(), "--settings",
                                 (dir / "s.json").string(), "--out", (dir / "o.wav").string(),
                                 "--events", (dir / "e.jsonl").string()});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("every press plays at the fixed strength of 60%"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("0.600  hard    medium "), std::string::npos) << r.output;
    std::istringstream in(readFile(dir / "e.jsonl"));
    int presses = 0;
    for (std::string line; std::getline(in, line);) {
        const auto press = nlohmann::json::parse(line);
        if (!press.contains("release")) {
            ++presses;
            EXPECT_FLOAT_EQ(press["velocity"].get<float>(), 0.6f) << press;
            EXPECT_EQ(press["tier"], "hard") << press;
            EXPECT_EQ(press["layers"].size(), 2u) << press;
        }
    }
    EXPECT_EQ(presses, 3);
}

TEST(CliPacks, UnknownOrBrokenPackIsRefusedWithoutWritingAnything) {
    ScopedXdgHome home;
    TempDir dir;
    ASSERT_TRUE(keysOnly().write(dir / "t.jsonl"));
    const fs::path user = home.dataHome() / "Clavio" / "SoundPacks";
    writeFile(user / "Broken" / "pack.json", "{\"name\":");
    const auto wav = (dir / "o.wav").string(), events = (dir / "e.jsonl").string();
    for (const std::string& pack :
         std::vector<std::string>{"NoSuchPack", "Broken", (dir / "Nowhere").string()}) {
        SCOPED_TRACE(pack);
        const auto r = runClavioCli({"render", "--trace", (dir / "t.jsonl").string(), "--pack",
                                     pack, "--out", wav, "--events", events});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_FALSE(fs::exists(wav));
        EXPECT_FALSE(fs::exists(events));
        const std::string why =
            pack == "Broken" ? "cannot be used: " : "'; the packs are: Biscuit, Bluebell\n";
        EXPECT_NE(r.output.find(why), std::string::npos) << r.output;
    }
}

TEST(CliPacks, ListsTheFoldersItSkippedAndWhy) {
    ScopedXdgHome home;
    const fs::path user = home.dataHome() / "Clavio" / "SoundPacks";
    fs::create_directories(user / "Bare");
    writeFile(user / "Broken" / "pack.json", "[1,");
    const std::string manifest = R"({"name":"N","author":"a","license":"l",
                                     "groups":{"alpha":{"soft":["gone.wav","here.wav"]}}})";
    writeFile(user / "Silent" / "pack.json", manifest);
    writeFile(user / "Lone" / "pack.json", manifest);
    writeFile(user / "Lone" / "here.wav", ""); // one file of two is enough
    const auto r = runClavioCli({"packs"});
    ASSERT_EQ(r.status, 0) << r.output;
    for (const auto& [folder, reason] : {std::pair{"Bare", ": no pack.json\n"},
                                         {"Broken", ": broken pack.json: $: invalid JSON"},
                                         {"Silent", ": no playable file\n"}}) {
        EXPECT_NE(r.output.find("  " + (user / folder).string() + reason), std::string::npos)
            << r.output;
    }
    EXPECT_NE(r.output.find("\nLone "), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("\nSilent "), std::string::npos) << "no pack: " << r.output;
}

// With velocitySource "microphone" both the offline render and the real-time
// play classify from the trace's mic records, to the same velocities; a trace
// without them plays the fixed strength and says why.
TEST(CliMicrophone, RenderAndPlayMeasureFromMicBlocksAndSayWhenThereAreNone) {
    ScopedXdgHome home;
    TempDir dir;
    StrikeTrace trace{.seconds = 1.6,
                      .withAccelerometer = false,
                      .strikes = {{0.4, 0, 0.3}, {0.8, 1, 0.02}, {1.2, 2, 0.08}}};
    trace.withMicrophone = true;
    ASSERT_TRUE(trace.write(dir / "t.jsonl"));
    writeFile(dir / "s.json", R"({"velocitySource":"microphone"})");
    const auto check = runClavioCli({"trace-check", (dir / "t.jsonl").string()});
    EXPECT_NE(check.output.find("mic blocks:       320 (1.600 s of samples at 48000 Hz)"),
              std::string::npos)
        << check.output;
    const auto render =
        runClavioCli({"render", "--trace", (dir / "t.jsonl").string(), "--settings",
                      (dir / "s.json").string(), "--out", (dir / "o.wav").string()});
    ASSERT_EQ(render.status, 0) << render.output;
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    const auto play = runClavioCli({"play", "--trace", (dir / "t.jsonl").string(), "--settings",
                                    (dir / "s.json").string(), "--tail", "0.2"});
    ASSERT_EQ(play.status, 0) << play.output;
    for (const auto* out : {&render.output, &play.output}) {
        EXPECT_NE(out->find("Measuring strikes with the microphone Trace Replay Microphone"),
                  std::string::npos)
            << *out;
        // Strongest, weakest, middle: hard, soft, medium.
        const auto hard = out->find("  hard "), soft = out->find("  soft "),
                   medium = out->find("  medium ");
        EXPECT_LT(hard, soft) << *out;
        EXPECT_LT(soft, medium) << *out;
        EXPECT_NE(medium, std::string::npos) << *out;
    }
    trace.withMicrophone = false;
    ASSERT_TRUE(trace.write(dir / "keys.jsonl"));
    const auto none =
        runClavioCli({"render", "--trace", (dir / "keys.jsonl").string(), "--settings",
                      (dir / "s.json").string(), "--out", (dir / "n.wav").string()});
    EXPECT_NE(none.output.find("the trace holds no microphone blocks: every press plays at the "
                               "fixed strength of 50%"),
              std::string::npos)
        << none.output;
}
