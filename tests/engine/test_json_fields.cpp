// Float members at the edge of the float range (found by the round-trip
// property of fuzz/fuzz_impact_config.cpp).
#include <gtest/gtest.h>

#include <limits>

#include "engine/sensing/impact_config.h"
#include "engine/core/json_fields.h"

using namespace clavio;
using nlohmann::json;

TEST(JsonFields, TheLargestFloatsReadBackAsWrittenAndTheRangeEndsWhereRoundingGivesInfinity) {
    constexpr float kMax = std::numeric_limits<float>::max();
    // What the encoder writes for the largest floats must decode to them.
    for (const float v : {kMax, -kMax}) {
        float out = 0.0f;
        const json object = {{"v", jsonFromFloat(v)}};
        ASSERT_EQ(readRequiredFloat(object, "v", out), std::nullopt) << object.dump();
        EXPECT_EQ(out, v);
    }
    // Just below the midpoint between the largest float and 2^128 rounds to
    // the largest float; the midpoint and beyond would be infinity.
    const double midpoint = double(kMax) + 0x1p103;
    float out = 0.0f;
    EXPECT_EQ(readRequiredFloat(json{{"v", 3.4028235677973e38}}, "v", out), std::nullopt);
    EXPECT_EQ(out, kMax);
    EXPECT_EQ(readRequiredFloat(json{{"v", -3.4028235677973e38}}, "v", out), std::nullopt);
    EXPECT_EQ(out, -kMax);
    EXPECT_NE(readRequiredFloat(json{{"v", midpoint}}, "v", out), std::nullopt);
    EXPECT_NE(readRequiredFloat(json{{"v", -midpoint}}, "v", out), std::nullopt);
    EXPECT_EQ(out, -kMax); // untouched by the refusals
}

TEST(JsonFields, ImpactConfigAtTheFloatLimitsSurvivesEncodeAndDecode) {
    ImpactConfig config;
    config.hardCap = std::numeric_limits<float>::max();
    config.deadzone = -std::numeric_limits<float>::max();
    config.baselineAlpha = std::numeric_limits<float>::denorm_min();
    const auto decoded = decodeImpactConfigText(encodeImpactConfig(config).dump());
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(*decoded, config);
}
