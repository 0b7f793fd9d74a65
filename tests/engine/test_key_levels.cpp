// Per-key strike levels: learning and bounds, the pipeline's correction
// (a key near the sensor and a far one end up alike), and the file on disk
// (refused when corrupt or absurd, never lost by accident, reset).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "engine/core/file_read.h"
#include "engine/sensing/key_levels.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr float kForces[] = {0.01f, 0.02f, 0.035f, 0.05f};

// Strikes `code` with a vibration of `amplitude` g 3 ms after its key event.
ImpactResult strike(CoordinatorRig& rig, std::uint16_t code, float amplitude) {
    rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, 1.0f + amplitude);
    rig.keyDown(code);
    rig.run(40ms, 1.0f);
    rig.keyUp(code);
    rig.run(30ms, 1.0f);
    return rig.presses().back().impact;
}

std::string slurp(const std::filesystem::path& path) {
    return readFileLimited(path, 1 << 20).contents;
}

void put(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

TEST(KeyLevels, LearnsWithinBoundsAndOnlyFromMeasuredStrikes) {
    KeyLevels levels;
    // Key 1 couples at 1.4, key 2 at 0.7, key 3 a tenth of key 4: same forces.
    for (int round = 0; round < 60; ++round) {
        for (const float f : kForces) {
            levels.learn(1, 1.4f * f, 0.003f);
            levels.learn(2, 0.7f * f, 0.003f);
            levels.learn(3, 0.1f * f + 0.003f, 0.003f);
            levels.learn(4, 1.0f * f, 0.003f);
            // No strike, not a number, outside the table: nothing learned.
            levels.learn(5, 0.002f, 0.003f);
            levels.learn(6, NAN, 0.003f);
            levels.learn(KeyLevels::kCodes, f, 0.003f);
        }
    }
    const float near = 1.4f * levels.factor(1), far = 0.7f * levels.factor(2);
    EXPECT_NEAR(near / far, 1.0f, 0.1f) << levels.factor(1) << " " << levels.factor(2);
    EXPECT_EQ(levels.factor(3), KeyLevels::kMaxFactor);
    EXPECT_GE(levels.factor(4), KeyLevels::kMinFactor);
    EXPECT_EQ(levels.strikes(5) + levels.strikes(6), 0u);
    EXPECT_EQ(levels.factor(5), 1.0f);
    EXPECT_EQ(levels.factor(KeyLevels::kCodes), 1.0f);

    // Below the minimum history a key is left alone, however far off it is.
    KeyLevels young;
    for (std::uint32_t i = 0; i + 1 < KeyLevels::kMinimumStrikes; ++i) {
        young.learn(7, 0.1f, 0.003f);
        young.learn(8, 0.01f, 0.003f);
    }
    EXPECT_EQ(young.factor(7), 1.0f);
    young.learn(7, 0.1f, 0.003f);
    EXPECT_LT(young.factor(7), 1.0f);

    // The file form gives back the same factors; reset forgets them.
    KeyLevels copy;
    ASSERT_EQ(copy.decode(levels.encode()), std::nullopt);
    for (const std::uint16_t code : {1, 2, 3, 4}) {
        EXPECT_FLOAT_EQ(copy.factor(code), levels.factor(code));
    }
    copy.reset();
    EXPECT_EQ(copy.factor(1), 1.0f);
    EXPECT_EQ(copy.unsaved(), 0u);
}

TEST(KeyLevels, RefusesCorruptOrAbsurdFilesAndKeepsWhatItHad) {
    KeyLevels levels;
    for (int i = 0; i < 20; ++i) {
        levels.learn(9, 0.02f, 0.003f);
        levels.learn(10, 0.05f, 0.003f);
    }
    const float before = levels.factor(9);
    const std::string head = R"({"format":"clavio-key-levels","version":1,"strikes":40,)";
    const std::string cases[] = {
        "{not json",
        R"({"format":"something else","version":1,"strikes":1,"level":-4,"keys":[]})",
        R"({"format":"clavio-key-levels","version":2,"strikes":1,"level":-4,"keys":[]})",
        head + R"("level":"NaN","keys":[]})",
        head + R"("level":1e300,"keys":[]})",
        head + R"("level":-4,"keys":[{"code":300,"strikes":9,"level":-4}]})",
        head + R"("level":-4,"keys":[{"code":9,"strikes":9,"level":-4},)" +
            R"({"code":9,"strikes":9,"level":-4}]})",
        head + R"("level":-4,"keys":[{"code":9,"strikes":9,"level":-9}]})", // 148x weaker
        head + R"("level":-4,"keys":[{"code":9,"strikes":-3,"level":-4}]})",
        head + R"("level":-4})",
    };
    for (const std::string& text : cases) {
        EXPECT_NE(levels.decode(text), std::nullopt) << text;
        EXPECT_EQ(levels.factor(9), before) << text;
    }
}

TEST(KeyLevelsPipeline, NearAndFarKeysConvergeAndNoHistoryScoresAsToday) {
    for (const bool normalize : {false, true}) {
        SCOPED_TRACE(normalize);
        CoordinatorRig rig;
        SettingsValues values;
        values.perKeyNormalization = normalize;
        rig.launch(values);
        rig.run(600ms, 1.0f);
        std::vector<ImpactResult> near, far;
        for (int round = 0; round < 25; ++round) {
            for (const float f : kForces) {
                near.push_back(strike(rig, 12, 1.4f * f));
                far.push_back(strike(rig, 13, 0.7f * f));
            }
        }
        // Without history (and with the setting off) the score is the peak.
        for (std::size_t i = 0; i < near.size(); ++i) {
            if (!normalize || i < KeyLevels::kMinimumStrikes) {
                EXPECT_EQ(near[i].score, near[i].rawPeak) << i;
                EXPECT_EQ(far[i].score, far[i].rawPeak) << i;
            }
        }
        // The last round: the same forces on both keys.
        for (std::size_t i = near.size() - 4; i < near.size(); ++i) {
            EXPECT_NEAR(near[i].rawPeak / far[i].rawPeak, 2.0f, 0.1f);
            if (normalize) {
                EXPECT_NEAR(near[i].velocity / far[i].velocity, 1.0f, 0.12f) << i;
            } else {
                EXPECT_GT(near[i].velocity / far[i].velocity, 1.6f) << i;
            }
        }
        EXPECT_EQ(rig.coordinator().keyLevels().strikes(12), normalize ? near.size() : 0u);
    }
}

TEST(KeyLevelsPipeline, FileIsReadSavedRefusedWithoutLossAndReset) {
    CoordinatorRig rig;
    const auto file = rig.home->root() / "state" / "Clavio" / "key-levels.json";
    rig.options().keyLevelsFile = file;
    SettingsValues values;
    values.perKeyNormalization = true;

    // A corrupt file: refused with one line, untouched while nothing is
    // learned, moved aside (not overwritten) once levels are worth saving.
    const std::string corrupt = R"({"format":"clavio-key-levels","version":1,"strikes":)";
    put(file, corrupt);
    {
        LogCapture log;
        rig.launch(values);
        EXPECT_EQ(log.count("Per-key levels not read"), 1u);
    }
    rig.run(600ms, 1.0f);
    strike(rig, 12, 0.02f);
    rig.coordinator().stop();
    EXPECT_EQ(slurp(file), corrupt);
    rig.coordinator().start();
    for (std::uint32_t i = 0; i < KeyLevels::kMinimumStrikes; ++i) {
        strike(rig, 12, 0.02f);
        strike(rig, 13, 0.05f);
    }
    rig.coordinator().stop();
    EXPECT_EQ(slurp(file.string() + ".refused"), corrupt);
    const float learned = rig.coordinator().keyLevels().factor(12);
    EXPECT_GT(learned, 1.0f);

    // A new run reads what was saved.
    rig.dropCoordinator();
    rig.launch(values);
    EXPECT_EQ(rig.coordinator().keyLevels().strikes(12), KeyLevels::kMinimumStrikes + 1);
    EXPECT_FLOAT_EQ(rig.coordinator().keyLevels().factor(12), learned);

    // Reset forgets both.
    rig.coordinator().resetKeyLevels();
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(rig.coordinator().keyLevels().strikes(12), 0u);
    rig.coordinator().stop();
    EXPECT_FALSE(std::filesystem::exists(file));
}

} // namespace
