// Key groups, JSON floats and the timebase, and reading and atomically replacing files
// (settings, presets, the defaults store and traces only use them).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>

#include "engine/core/atomic_file.h"
#include "engine/core/core_types.h"
#include "engine/core/file_read.h"
#include "engine/core/json_fields.h"
#include "engine/core/timebase.h"
#include "engine/keyboard/key_groups.h"
#include "engine/sensing/impact_config.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::readFile;
using clavio::testing::TempDir;
using clavio::testing::writeFile;
using nlohmann::json;
namespace fs = std::filesystem;

TEST(KeyGroups, BoundaryCodesFallInTheirGroups) {
    const std::pair<int, KeyGroup> cases[] = {
        {48, KeyGroup::alpha},  {53, KeyGroup::other},      {117, KeyGroup::deleteKey},
        {76, KeyGroup::enter},  {72, KeyGroup::alpha},      {105, KeyGroup::other},
        {128, KeyGroup::other}, {127, KeyGroup::other},     {-1, KeyGroup::other},
        {-96, KeyGroup::other}, {INT_MIN, KeyGroup::other}, {INT_MAX, KeyGroup::other}};
    for (const auto& [code, group] : cases) {
        EXPECT_EQ(keyGroupForKeyCode(code), group) << code;
    }
    EXPECT_EQ(TCAKeyGroupFromKeyCode(49), 2);
}

// Float members at the edge of the float range (found by the round-trip
// property of fuzz/fuzz_impact_config.cpp).
TEST(JsonFields, TheLargestFloatsReadBackAsWrittenAndTheRangeEndsWhereRoundingGivesInfinity) {
    constexpr float kMax = std::numeric_limits<float>::max();
    float out = 0.0f;
    for (const float v : {kMax, -kMax}) {
        ASSERT_EQ(readRequiredFloat(json{{"v", jsonFromFloat(v)}}, "v", out), std::nullopt);
        EXPECT_EQ(out, v);
    }
    // Just below the midpoint between the largest float and 2^128 rounds to
    // the largest float; the midpoint and beyond would be infinity.
    EXPECT_EQ(readRequiredFloat(json{{"v", 3.4028235677973e38}}, "v", out), std::nullopt);
    EXPECT_EQ(out, kMax);
    const double midpoint = double(kMax) + 0x1p103;
    EXPECT_NE(readRequiredFloat(json{{"v", midpoint}}, "v", out), std::nullopt);
    EXPECT_NE(readRequiredFloat(json{{"v", -midpoint}}, "v", out), std::nullopt);
    EXPECT_EQ(out, kMax); // untouched by the refusals

    ImpactConfig config;
    config.hardCap = kMax;
    config.deadzone = -kMax;
    config.baselineAlpha = std::numeric_limits<float>::denorm_min();
    const auto decoded = decodeImpactConfigText(encodeImpactConfig(config).dump());
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(*decoded, config);
}

TEST(Timebase, TicksAreNanosecondsAndConversionsSaturateAtBothEnds) {
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<double, std::uint64_t> cases[] = {
        {0.0, 0},          {-5.0, 0},  {10.0, 10'000'000}, {20.9999999, 20'999'999},
        {std::nan(""), 0}, {-kInf, 0}, {kInf, kMax},       {1e300, kMax}};
    for (const auto& [msValue, ticks] : cases) {
        EXPECT_EQ(tca_ms_to_mach(msValue), ticks) << msValue;
    }
    EXPECT_EQ(std::tuple(tca_timebase_info().numer, tca_timebase_info().denom,
                         tca_mach_to_ns(123456789u)),
              std::tuple(1u, 1u, 123456789u));
    EXPECT_DOUBLE_EQ(tca_mach_to_sec(1'500'000'000u), 1.5);
    // The largest tick count converts to a double of 2^64, which must not wrap.
    EXPECT_EQ(tca_mach_to_ns(kMax), kMax);
}

namespace {
std::size_t entries(const fs::path& folder) {
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}
} // namespace

TEST(FileRead, ReadsSmallFilesAndRefusesEverythingElseWithoutBlocking) {
    using Status = FileReadResult::Status;
    TempDir dir;
    writeFile(dir / "ok.json", std::string("{\0}", 3));
    EXPECT_EQ(readFileLimited(dir / "ok.json", 3).contents, std::string("{\0}", 3));
    const auto large = readFileLimited(dir / "ok.json", 2);
    EXPECT_EQ(std::tuple(large.status, large.contents), std::tuple(Status::tooLarge, ""));
    EXPECT_NE(large.error.find("ok.json"), std::string::npos);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0); // would block a plain read
    fs::create_symlink(dir / "ok.json", dir / "link.json");
    fs::create_symlink(dir / "gone.json", dir / "dangling.json");
    const std::pair<fs::path, Status> cases[] = {{dir / "missing.json", Status::missing},
                                                 {dir.path(), Status::notAFile},
                                                 {dir / "fifo", Status::notAFile},
                                                 {dir / "dangling.json", Status::missing}};
    for (const auto& [path, status] : cases) {
        EXPECT_EQ(readFileLimited(path, 10).status, status) << path;
    }
    EXPECT_TRUE(readFileLimited(dir / "link.json", 10).ok());
}

// Root ignores folder permissions, so the failures are made in ways that hold
// for everyone: a full disk (a file size limit: write(2) fails with EFBIG) and
// a failing flush. A file that cannot be created at all is the settings' test.
TEST(AtomicFile, AFailedWriteOrFlushIsNamedKeepsTheOldFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto path = dir / "settings.json";
    ASSERT_FALSE(writeFileAtomically(path, "old"));
    ASSERT_FALSE(writeFileAtomically(path, "older"));
    rlimit previous{};
    getrlimit(RLIMIT_FSIZE, &previous);
    auto* handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit full = previous;
    full.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    const auto fullError = writeFileAtomically(path, "new");
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, handler);
    ASSERT_TRUE(fullError);
    EXPECT_NE(fullError->find("cannot write"), std::string::npos) << *fullError;

    setFileSyncHook([](const fs::path&) { return false; });
    const auto unsynced = writeFileAtomically(path, "new");
    setFileSyncHook(nullptr);
    ASSERT_TRUE(unsynced);
    EXPECT_NE(unsynced->find("cannot flush"), std::string::npos) << *unsynced;
    EXPECT_EQ(readFile(path), "older");
    EXPECT_EQ(entries(dir.path()), 1u);
}
