#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/sensing/calibration.h"

using namespace clavio;

TEST(Calibration, NineScoresGiveNothingTenGiveThePercentiles) {
    CalibrationCollector c;
    // 1..10 in a scrambled recording order: the order must not matter.
    const float scores[] = {7, 3, 10, 1, 9, 5, 2, 8, 6};
    for (float s : scores) {
        c.record(s);
    }
    EXPECT_EQ(c.count(), 9);
    EXPECT_FALSE(c.computeThresholds());
    c.record(4);
    const auto r = c.computeThresholds();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sampleCount, 10);
    EXPECT_EQ(r->minScore, 1.0f);
    EXPECT_EQ(r->maxScore, 10.0f);
    EXPECT_FLOAT_EQ(r->recommendedSoftThreshold, 0.3f);
    EXPECT_FLOAT_EQ(r->recommendedMediumThreshold, 0.6f);
    EXPECT_FLOAT_EQ(r->recommendedHardThreshold, 0.9f);
    EXPECT_FLOAT_EQ(r->recommendedHardCap, 12.0f);
}

TEST(Calibration, HundredScoresUseIndices25And50And80) {
    CalibrationCollector c;
    for (int i = 100; i >= 1; --i) {
        c.record(float(i));
    }
    const auto r = c.computeThresholds();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->recommendedSoftThreshold, 26.0f / 100.0f);
    EXPECT_EQ(r->recommendedMediumThreshold, 51.0f / 100.0f);
    EXPECT_EQ(r->recommendedHardThreshold, 81.0f / 100.0f);
    EXPECT_EQ(r->recommendedHardCap, 100.0f * 1.2f);
    // Computing leaves the scores in place: the same result again.
    EXPECT_EQ(c.computeThresholds(), r);
    EXPECT_EQ(c.count(), 100);
}

TEST(Calibration, NoPositiveScoreGivesTheFixedThresholds) {
    CalibrationCollector c;
    for (int i = 0; i < 12; ++i) {
        c.record(0.0f); // placeholder results
    }
    auto r = c.computeThresholds();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->recommendedSoftThreshold, 0.25f);
    EXPECT_EQ(r->recommendedMediumThreshold, 0.5f);
    EXPECT_EQ(r->recommendedHardThreshold, 0.8f);
    EXPECT_EQ(r->recommendedHardCap, 0.0f);

    c.reset();
    EXPECT_EQ(c.count(), 0);
    EXPECT_FALSE(c.computeThresholds());
}

TEST(Calibration, ResultEncodesAsJsonKeyedByFieldName) {
    CalibrationResult r;
    r.sampleCount = 10;
    r.minScore = 0.01f;
    r.maxScore = 0.1f;
    r.recommendedSoftThreshold = 0.3f;
    r.recommendedMediumThreshold = 0.6f;
    r.recommendedHardThreshold = 0.9f;
    r.recommendedHardCap = 0.12f;
    const nlohmann::json j = encodeCalibrationResult(r);
    EXPECT_EQ(j.size(), 7u);
    EXPECT_TRUE(j["sampleCount"].is_number_integer());
    EXPECT_EQ(j["sampleCount"].get<long long>(), 10);
    EXPECT_EQ(j.dump(), "{\"maxScore\":0.1,\"minScore\":0.01,\"recommendedHardCap\":0.12,"
                        "\"recommendedHardThreshold\":0.9,\"recommendedMediumThreshold\":0.6,"
                        "\"recommendedSoftThreshold\":0.3,\"sampleCount\":10}");
    r.maxScore = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(encodeCalibrationResult(r)["maxScore"].is_null());
}

