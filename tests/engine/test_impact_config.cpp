#include <gtest/gtest.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "engine/sensing/impact_config.h"
#include "engine/sensing/impact_engine.h"

using namespace clavio;
using nlohmann::json;

namespace {

const char* const kKeys[14] = {
    "searchPreMs",     "searchPostMs",  "baselineWindowMs", "baselineAlpha",   "highpassEnabled",
    "highpassAlpha",   "deadzone",      "hardCap",          "compressGamma",   "softThreshold",
    "mediumThreshold", "hardThreshold", "slamThreshold",    "minInterKeyGapMs"};

ImpactConfig unusualConfig() {
    ImpactConfig c;
    c.searchPreMs = 12.5;
    c.searchPostMs = 33.25;
    c.baselineWindowMs = 250.0;
    c.baselineAlpha = 0.02f;
    c.highpassEnabled = true;
    c.highpassAlpha = 0.9f;
    c.deadzone = 0.0041f;
    c.hardCap = 0.2f;
    c.compressGamma = 1.3f;
    c.softThreshold = 0.1f;
    c.mediumThreshold = 0.3f;
    c.hardThreshold = 0.6f;
    c.slamThreshold = 0.9f;
    c.minInterKeyGapMs = 35.0;
    return c;
}

} // namespace

TEST(ImpactConfig, NativeDefaultsMatchTheValueTypeDefaults) {
    TCAImpactConfig native;
    tca_impact_config_defaults(&native);
    EXPECT_EQ(fromNative(native), ImpactConfig());
    EXPECT_EQ(fromNative(toNative(unusualConfig())), unusualConfig());
}

TEST(ImpactConfig, EncodesExactlyTheFourteenKeysAndRoundTrips) {
    const json encoded = encodeImpactConfig(unusualConfig());
    ASSERT_EQ(encoded.size(), 14u);
    for (const char* key : kKeys) {
        EXPECT_TRUE(encoded.contains(key)) << key;
    }
    EXPECT_TRUE(encoded["highpassEnabled"].is_boolean());
    const auto decoded = decodeImpactConfigText(encoded.dump());
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(*decoded, unusualConfig());
    // Floats are written as their shortest decimal, which reads back exactly.
    const std::string text = encodeImpactConfig(ImpactConfig()).dump();
    EXPECT_NE(text.find("\"baselineAlpha\":0.01,"), std::string::npos) << text;
    EXPECT_EQ(*decodeImpactConfigText(text), ImpactConfig());
}

TEST(ImpactConfig, EveryKeyIsRequiredAndNamedWhenMissing) {
    const json full = encodeImpactConfig(ImpactConfig());
    for (const char* key : kKeys) {
        json partial = full;
        partial.erase(key);
        const auto decoded = decodeImpactConfig(partial);
        ASSERT_FALSE(decoded) << key;
        EXPECT_NE(decoded.error().text().find(std::string("\"") + key + "\""), std::string::npos)
            << decoded.error().text();
        EXPECT_NE(decoded.error().text().find("missing"), std::string::npos) << decoded.error().text();
    }
}

TEST(ImpactConfig, WrongTypesAndOutOfRangeValuesFailNamingTheKey) {
    const json full = encodeImpactConfig(ImpactConfig());
    struct Case {
        const char* key;
        json value;
    };
    const Case cases[] = {
        {"highpassEnabled", 1},        // a number is not a boolean
        {"highpassEnabled", "true"},   // nor a string
        {"deadzone", true},            // a boolean is not a number
        {"searchPreMs", "10"},         // a string is not a number
        {"minInterKeyGapMs", nullptr}, // null is not a number
        {"hardCap", json::array({0.14})},
        {"compressGamma", 1e39}, // beyond the float range
    };
    for (const auto& c : cases) {
        json bad = full;
        bad[c.key] = c.value;
        const auto decoded = decodeImpactConfig(bad);
        ASSERT_FALSE(decoded) << c.key << " = " << c.value.dump();
        EXPECT_NE(decoded.error().text().find(c.key), std::string::npos) << decoded.error().text();
    }
    // Integral JSON numbers are numbers; unknown keys are ignored.
    json integral = full;
    integral["searchPreMs"] = 15;
    integral["somethingElse"] = "ignored";
    const auto decoded = decodeImpactConfig(integral);
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(decoded->searchPreMs, 15.0);
}

TEST(ImpactConfig, BrokenInputIsAnErrorNotAnException) {
    EXPECT_FALSE(decodeImpactConfigText("{\"searchPreMs\": 10,"));
    EXPECT_FALSE(decodeImpactConfigText(""));
    EXPECT_FALSE(decodeImpactConfig(json::array()));
    EXPECT_FALSE(decodeImpactConfigText("[1,2,3]"));
    // A number too large for a double is refused by the parser itself ...
    std::string huge = encodeImpactConfig(ImpactConfig()).dump();
    huge.replace(huge.find("\"searchPreMs\":10.0"), 18, "\"searchPreMs\":1e999");
    EXPECT_FALSE(decodeImpactConfigText(huge));
    // ... and an infinity placed in a JSON value by code is refused by name.
    json infinite = encodeImpactConfig(ImpactConfig());
    infinite["searchPreMs"] = std::numeric_limits<double>::infinity();
    const auto decoded = decodeImpactConfig(infinite);
    ASSERT_FALSE(decoded);
    EXPECT_NE(decoded.error().text().find("searchPreMs"), std::string::npos) << decoded.error().text();
    // A NaN field has no JSON form: it is written as null, which decoding refuses.
    ImpactConfig nan;
    nan.deadzone = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(encodeImpactConfig(nan)["deadzone"].is_null());
    EXPECT_FALSE(decodeImpactConfig(encodeImpactConfig(nan)));
}
