#include <gtest/gtest.h>

#include "engine/packs/sound_pack_manifest.h"
#include "tests/support/test_support.h"

using namespace clavio;

namespace {
using Files = std::vector<std::string>;

SoundPackManifest decodeOrFail(const std::string& json) {
    auto result = decodeSoundPackManifest(json);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().text());
    return result.ok() ? result.value() : SoundPackManifest{};
}

std::string errorOf(const std::string& json) {
    auto result = decodeSoundPackManifest(json);
    return result.ok() ? "decoded" : result.error().text();
}

const char* kHead = R"("name":"N","author":"A","license":"L")";
} // namespace

TEST(KeyGroupSamples, TierChainsFallDownwardOnlyAndSilentIsAlwaysEmpty) {
    KeyGroupSamples all{Files{"s"}, Files{"m"}, Files{"h"}, Files{"x"}};
    EXPECT_TRUE(all.samples(VelocityTier::silent).empty());
    EXPECT_EQ(all.samples(VelocityTier::slam), Files{"x"});

    KeyGroupSamples softOnly{Files{"s"}, std::nullopt, std::nullopt, std::nullopt};
    for (auto tier :
         {VelocityTier::soft, VelocityTier::medium, VelocityTier::hard, VelocityTier::slam}) {
        EXPECT_EQ(softOnly.samples(tier), Files{"s"}) << name(tier);
    }

    KeyGroupSamples hardOnly{std::nullopt, std::nullopt, Files{"h"}, std::nullopt};
    EXPECT_TRUE(hardOnly.samples(VelocityTier::soft).empty());
    EXPECT_TRUE(hardOnly.samples(VelocityTier::medium).empty());
    EXPECT_EQ(hardOnly.samples(VelocityTier::hard), Files{"h"});
    EXPECT_EQ(hardOnly.samples(VelocityTier::slam), Files{"h"});

    KeyGroupSamples mediumAndSlam{std::nullopt, Files{"m"}, std::nullopt, Files{"x"}};
    EXPECT_EQ(mediumAndSlam.samples(VelocityTier::hard), Files{"m"});
}

TEST(SoundPackManifest, GroupFallbackGoesToAlphaWhenGroupMissingOrEmpty) {
    auto m = decodeOrFail(std::string("{") + kHead + R"(,"groups":{
        "alpha":{"soft":["a_s"],"hard":["a_h"]},
        "space":{"soft":["sp_s"],"medium":[]},
        "enter":{"hard":["en_h"]}}})");
    EXPECT_EQ(m.samplesFor(KeyGroup::space, VelocityTier::soft), Files{"sp_s"});
    // Present-but-empty medium gives nothing in the group, so alpha answers.
    EXPECT_EQ(m.samplesFor(KeyGroup::space, VelocityTier::medium), Files{"a_s"});
    // Enter has nothing for soft (no upward fallback): alpha's soft.
    EXPECT_EQ(m.samplesFor(KeyGroup::enter, VelocityTier::soft), Files{"a_s"});
    EXPECT_EQ(m.samplesFor(KeyGroup::enter, VelocityTier::slam), Files{"en_h"});
    EXPECT_EQ(m.samplesFor(KeyGroup::arrow, VelocityTier::slam), Files{"a_h"});
    EXPECT_EQ(m.samplesFor(KeyGroup::deleteKey, VelocityTier::medium), Files{"a_s"});
    EXPECT_TRUE(m.samplesFor(KeyGroup::alpha, VelocityTier::silent).empty());
}

TEST(SoundPackManifest, WithoutAlphaOrTheGroupNothingSounds) {
    auto m = decodeOrFail(std::string("{") + kHead + R"(,"groups":{"space":{"soft":["x"]}}})");
    EXPECT_TRUE(m.samplesFor(KeyGroup::enter, VelocityTier::soft).empty());
    EXPECT_EQ(m.samplesFor(KeyGroup::space, VelocityTier::hard), Files{"x"});
}

TEST(SoundPackManifest, ReleaseLookupFallsBackToAlphaOnlyWhenNonEmpty) {
    auto none = decodeOrFail(std::string("{") + kHead + R"(,"groups":{}})");
    for (KeyGroup g : kAllKeyGroups) {
        EXPECT_TRUE(none.releaseSamplesFor(g).empty());
    }
    auto m = decodeOrFail(std::string("{") + kHead +
                          R"(,"groups":{},"release":{"alpha":["ra"],"space":["rs"],"enter":[]}})");
    EXPECT_EQ(m.releaseSamplesFor(KeyGroup::space), Files{"rs"});
    EXPECT_EQ(m.releaseSamplesFor(KeyGroup::enter), Files{"ra"});
    EXPECT_EQ(m.releaseSamplesFor(KeyGroup::modifier), Files{"ra"});

    auto emptyAlpha = decodeOrFail(std::string("{") + kHead +
                                   R"(,"groups":{},"release":{"alpha":[],"space":["rs"]}})");
    EXPECT_TRUE(emptyAlpha.releaseSamplesFor(KeyGroup::enter).empty());
}

TEST(SoundPackManifest, NullOptionalsAreAbsentAndEmptyArraysPresent) {
    auto m = decodeOrFail(std::string("{") + kHead + R"(,"homepage":null,"sampleRate":null,
        "release":null,"groups":{"alpha":{"soft":["s"],"medium":null,"hard":[]}}})");
    EXPECT_FALSE(m.homepage);
    EXPECT_FALSE(m.sampleRate);
    EXPECT_FALSE(m.release);
    const auto& alpha = m.groups.at("alpha");
    EXPECT_FALSE(alpha.medium);
    ASSERT_TRUE(alpha.hard);
    EXPECT_TRUE(alpha.hard->empty());
    EXPECT_FALSE(alpha.slam);
    EXPECT_EQ(m.samplesFor(KeyGroup::alpha, VelocityTier::medium), Files{"s"});
    EXPECT_TRUE(m.samplesFor(KeyGroup::alpha, VelocityTier::slam).empty());
}

TEST(SoundPackManifest, EncodingWritesOptionalsOnlyWhenPresentAndRoundTrips) {
    SoundPackManifest m;
    m.name = "Pack \"quoted\"";
    m.author = "Me";
    m.license = "CC0";
    m.groups["alpha"] = KeyGroupSamples{Files{"a.wav"}, Files{}, std::nullopt, std::nullopt};
    const std::string compact = encodeSoundPackManifest(m);
    EXPECT_EQ(compact.find("homepage"), std::string::npos);
    EXPECT_EQ(compact.find("sampleRate"), std::string::npos);
    EXPECT_EQ(compact.find("release"), std::string::npos);
    EXPECT_EQ(compact.find("hard"), std::string::npos);
    EXPECT_NE(compact.find(R"("medium":[])"), std::string::npos);
    EXPECT_EQ(decodeOrFail(compact), m);

    m.homepage = "https://example.org";
    m.sampleRate = 48000;
    m.release = std::map<std::string, Files>{{"alpha", {"r.wav"}}, {"space", {}}};
    EXPECT_EQ(decodeOrFail(encodeSoundPackManifest(m, true)), m);
}

TEST(SoundPackManifest, DecodeErrorsNameTheJsonPath) {
    EXPECT_EQ(errorOf(R"({"author":"A","license":"L","groups":{}})"),
              "$.name: required member is missing");
    EXPECT_EQ(errorOf(R"({"name":null,"author":"A","license":"L","groups":{}})"),
              "$.name: expected a string, found null");
    EXPECT_EQ(errorOf(std::string("{") + kHead + "}"), "$.groups: required member is missing");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":null})"),
              "$.groups: expected an object of key groups, found null");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{"alpha":{"soft":"a.wav"}}})"),
              "$.groups.alpha.soft: expected an array of strings, found a string");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{"alpha":{"hard":["a",3]}}})"),
              "$.groups.alpha.hard[1]: expected a string, found a number");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{"my group":[]}})"),
              "$.groups[\"my group\"]: expected an object of velocity layers, found an array");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{},"release":{"alpha":"r"}})"),
              "$.release.alpha: expected an array of strings, found a string");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{},"sampleRate":"48k"})"),
              "$.sampleRate: expected an integer, found a string");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{},"sampleRate":44100.5})"),
              "$.sampleRate: expected an integer, found 44100.5");
    EXPECT_EQ(errorOf(std::string("{") + kHead + R"(,"groups":{},"homepage":7})"),
              "$.homepage: expected a string, found a number");
    EXPECT_EQ(errorOf("[1,2]"), "$: expected an object, found an array");
}

TEST(SoundPackManifest, BrokenTextNeverDecodes) {
    const std::string valid =
        std::string("{") + kHead + R"(,"groups":{"alpha":{"soft":["é.wav"]}}})";
    ASSERT_EQ(errorOf(valid), "decoded");
    for (size_t cut = 0; cut < valid.size(); ++cut) {
        EXPECT_NE(errorOf(valid.substr(0, cut)), "decoded") << cut;
    }
    std::string latin1 = valid;
    latin1.replace(latin1.find("é"), 2, "\xE9");
    EXPECT_NE(errorOf(latin1).find("$: invalid JSON"), std::string::npos) << errorOf(latin1);
    // Deep nesting is rejected (wrong type) without exhausting the stack.
    const std::string deep(2'000'000, '[');
    EXPECT_NE(errorOf(deep), "decoded");
    const std::string deepClosed = std::string(200'000, '[') + std::string(200'000, ']');
    EXPECT_EQ(errorOf(deepClosed), "$: expected an object, found an array");
}

TEST(SoundPackManifest, UnsafeEntriesAreFoundWithTheirPaths) {
    EXPECT_TRUE(isSafeSampleEntry("a.wav"));
    EXPECT_TRUE(isSafeSampleEntry("sub/dir/a.wav"));
    EXPECT_TRUE(isSafeSampleEntry("sub/../a.wav"));
    EXPECT_TRUE(isSafeSampleEntry("..a.wav"));
    EXPECT_FALSE(isSafeSampleEntry(""));
    EXPECT_FALSE(isSafeSampleEntry("."));
    EXPECT_FALSE(isSafeSampleEntry("/etc/passwd"));
    EXPECT_FALSE(isSafeSampleEntry("../other/a.wav"));
    EXPECT_FALSE(isSafeSampleEntry("sub/../../a.wav"));
    EXPECT_FALSE(isSafeSampleEntry(std::string("a.wav\0.txt", 10)));

    auto m = decodeOrFail(std::string("{") + kHead + R"(,"groups":{
        "alpha":{"soft":["ok.wav","../x.wav"]}},"release":{"space":["/abs.wav"]}})");
    auto unsafe = m.unsafeEntries();
    ASSERT_EQ(unsafe.size(), 2u);
    EXPECT_EQ(unsafe[0].jsonPath, "$.groups.alpha.soft[1]");
    EXPECT_EQ(unsafe[0].file, "../x.wav");
    EXPECT_EQ(unsafe[1].jsonPath, "$.release.space[0]");
}
