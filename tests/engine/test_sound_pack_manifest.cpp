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
    const Files s{"s"}, m{"m"}, h{"h"}, x{"x"}, none;
    const std::optional<Files> _;
    // Each group's samples for silent, soft, medium, hard and slam.
    const std::pair<KeyGroupSamples, std::vector<Files>> cases[] = {
        {{s, m, h, x}, {none, s, m, h, x}},
        {{s, _, _, _}, {none, s, s, s, s}},
        {{_, _, h, _}, {none, none, none, h, h}},
        {{_, m, _, x}, {none, none, m, m, x}},
    };
    for (const auto& [group, want] : cases) {
        for (int t = 0; t < 5; ++t) {
            EXPECT_EQ(group.samples(VelocityTier(t)), want[t]) << t;
        }
    }
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
    auto noAlpha = decodeOrFail(std::string("{") + kHead + R"(,"groups":{"space":{"soft":["x"]}}})");
    EXPECT_TRUE(noAlpha.samplesFor(KeyGroup::enter, VelocityTier::soft).empty());
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

TEST(SoundPackManifest, NullOptionalsAreAbsentEncodingWritesOnlyPresentOnesAndRoundTrips) {
    SoundPackManifest m;
    m.name = "Pack \"quoted\"";
    m.author = "Me";
    m.license = "CC0";
    m.groups["alpha"] = KeyGroupSamples{Files{"a.wav"}, Files{}, std::nullopt, std::nullopt};
    const std::string compact = encodeSoundPackManifest(m);
    // null and absent optionals decode alike; an empty array is present.
    auto nulls = decodeOrFail(R"({"name":"Pack \"quoted\"","author":"Me","license":"CC0",
        "homepage":null,"sampleRate":null,"release":null,
        "groups":{"alpha":{"soft":["a.wav"],"medium":[],"hard":null}}})");
    EXPECT_EQ(nulls, m);
    for (const char* absent : {"homepage", "sampleRate", "release", "hard"}) {
        EXPECT_EQ(compact.find(absent), std::string::npos) << absent;
    }
    EXPECT_NE(compact.find(R"("medium":[])"), std::string::npos);
    EXPECT_EQ(decodeOrFail(compact), m);

    m.homepage = "https://example.org";
    m.sampleRate = 48000;
    m.release = std::map<std::string, Files>{{"alpha", {"r.wav"}}, {"space", {}}};
    EXPECT_EQ(decodeOrFail(encodeSoundPackManifest(m, true)), m);
}

TEST(SoundPackManifest, DecodeErrorsNameTheJsonPath) {
    const std::string h = std::string("{") + kHead;
    const std::pair<std::string, const char*> cases[] = {
        {R"({"author":"A","license":"L","groups":{}})", "$.name: required member is missing"},
        {h + R"(,"groups":null})", "$.groups: expected an object of key groups, found null"},
        {h + R"(,"groups":{"alpha":{"soft":"a.wav"}}})",
         "$.groups.alpha.soft: expected an array of strings, found a string"},
        {h + R"(,"groups":{"my group":[]}})",
         "$.groups[\"my group\"]: expected an object of velocity layers, found an array"},
        {h + R"(,"groups":{},"sampleRate":44100.5})",
         "$.sampleRate: expected an integer, found 44100.5"},
        {h + R"(,"groups":{},"homepage":7})", "$.homepage: expected a string, found a number"},
    };
    for (const auto& [json, message] : cases) {
        EXPECT_EQ(errorOf(json), message);
    }
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
    for (const std::string safe : {"a.wav", "sub/dir/a.wav", "sub/../a.wav", "..a.wav"}) {
        EXPECT_TRUE(isSafeSampleEntry(safe)) << safe;
    }
    for (const auto& unsafe : Files{"", ".", "/etc/passwd", "../other/a.wav", "sub/../../a.wav",
                                     std::string("a.wav\0.txt", 10)}) {
        EXPECT_FALSE(isSafeSampleEntry(unsafe)) << unsafe;
    }

    auto m = decodeOrFail(std::string("{") + kHead + R"(,"groups":{
        "alpha":{"soft":["ok.wav","../x.wav"]}},"release":{"space":["/abs.wav"]}})");
    auto unsafe = m.unsafeEntries();
    ASSERT_EQ(unsafe.size(), 2u);
    EXPECT_EQ(unsafe[0].jsonPath, "$.groups.alpha.soft[1]");
    EXPECT_EQ(unsafe[0].file, "../x.wav");
    EXPECT_EQ(unsafe[1].jsonPath, "$.release.space[0]");
}
