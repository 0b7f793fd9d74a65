// Hostile and unlucky input: bounds checked before the work, and traces read
// in one pass from pipes and FIFOs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

const fs::path kDemo = fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "demo" / "demo.trace.jsonl";
const std::string kHeader = "{\"format\":\"clavio-trace\",\"version\":1}\n";
const std::string kAccel = "\"accel\":\"00000000000000000000000000000000010000000000\"";

std::string key(std::uint64_t t, const char* kind) {
    return "{\"t\":" + std::to_string(t) + ",\"key\":\"" + kind + "\",\"code\":0,\"flags\":0" +
           (kind[0] == 'd' ? ",\"repeat\":false" : "") + "}\n";
}

// Mono 8-bit PCM of `frames` frames at 8 kHz.
std::string wav(std::uint32_t frames) {
    std::string s = "RIFF    WAVEfmt ";
    auto u32 = [&s](std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&s](std::uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); };
    u32(16), u16(1), u16(1), u32(8000), u32(8000), u16(1), u16(8);
    s += "data", u32(frames);
    s.append(frames, '\x80');
    const std::uint32_t riff = std::uint32_t(s.size() - 8);
    std::memcpy(s.data() + 4, &riff, 4);
    return s;
}

// What "quickly" means: far below the minutes an hour of rendered audio takes,
// with room for a loaded machine; instrumented builds run the program ten to
// twenty times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kQuickly = std::chrono::seconds(60);
#else
constexpr auto kQuickly = std::chrono::seconds(20);
#endif

void expectRun(const CliRun& run, int status, const std::string& expected) {
    EXPECT_EQ(run.status, status) << run.output;
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
}

} // namespace

TEST(CliBounds, HostileSpansPacksAndSettingsAreRefusedQuicklyWithOneLine) {
    TempDir dir;
    const std::uint64_t hour = 3'600'000'000'000ull;
    writeFile(dir / "gap.jsonl", kHeader + key(1000, "down") + key(~0ull, "up"));
    writeFile(dir / "day.jsonl", kHeader + "{\"t\":1000," + kAccel + "}\n" + key(2000, "down") +
                                     key(3000, "up") + "{\"t\":" + std::to_string(23 * hour) + "," +
                                     kAccel + "}\n");
    writeFile(dir / "keys.jsonl", kHeader + key(1000, "down") + key(hour, "up"));
    writeFile(dir / "slow.json", R"({"searchPostMs":1e7})");
    writeFile(dir / "mic.json", R"({"velocitySource":"microphone"})");
    const std::string out = (dir / "o.wav").string();
    const auto trace = [&](const char* name) { return (dir / name).string(); };
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"render", "--trace", trace("gap.jsonl"), "--out", out}, "a trace spans at most"},
        {{"calibrate", "--trace", trace("gap.jsonl")}, "a trace spans at most"},
        {{"trace-check", trace("gap.jsonl")}, "line 3: t 18446744073709551615"},
        {{"render", "--trace", trace("day.jsonl"), "--out", out}, "the limits are 10800 s"},
        {{"calibrate", "--trace", trace("day.jsonl")}, "1 press was recorded"},
        {{"calibrate", "--trace", trace("keys.jsonl")}, "holds no accelerometer reports"},
        {{"calibrate", "--trace", trace("day.jsonl"), "--settings", trace("mic.json")},
         "holds no microphone blocks"},
        {{"render", "--trace", trace("keys.jsonl"), "--rate", "384000", "--out", out},
         "the limits are 1398 s"},
    };
    for (const auto& c : cases) {
        const auto started = std::chrono::steady_clock::now();
        expectRun(runClavioCli(c.args, 120.0), 1, c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - started, kQuickly) << c.args[0];
    }
    EXPECT_FALSE(fs::exists(out));
    // An absurd classification window is used at its limit, with one line,
    // not rendered as an hour of silence.
    expectRun(runClavioCli({"render", "--trace", "demo", "--settings", trace("slow.json"), "--out",
                            out}),
              0, "searchPostMs 1e+07 refused");
    fs::remove(out);

    // A file one second over the per-file limit, and its pack-check.
    writeFile(dir / "P" / "long.wav", wav(21 * 8000));
    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0",
        "groups":{"alpha":{"soft":["long.wav"]}}})");
    expectRun(runClavioCli({"pack-check", (dir / "P").string()}), 1,
              "\"long.wav\" is over a limit: " + (dir / "P" / "long.wav").string() +
                  ": 21.0 s long; a sample file may last at most 20 s");
    expectRun(
        runClavioCli({"render", "--trace", "demo", "--pack", (dir / "P").string(), "--out", out}),
        1, "sound pack 'P' refused: ");
    EXPECT_FALSE(fs::exists(out));
}

TEST(CliStreams, TraceThroughAPipeOrAFifoIsReadOnce) {
    TempDir dir;
    const std::string out = (dir / "o.wav").string(), pipe = "cat " + kDemo.string() + " | ";
    const std::pair<std::string, std::string> cases[] = {
        {"render --trace /dev/stdin --pack Biscuit --out " + out, "presses"},
        {"calibrate --trace /dev/stdin", "sampleCount"},
        {"trace-check /dev/stdin", "key downs"}};
    for (const auto& [command, expected] : cases) {
        expectRun(runProgram("/bin/sh", {"-c", pipe + clavioCli().string() + " " + command}), 0,
                  expected);
    }
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(dir / "fifo") << readFile(kDemo); });
    expectRun(runClavioCli({"render", "--trace", (dir / "fifo").string(), "--out", out}), 0,
              "Wrote " + out);
    writer.join();
}
