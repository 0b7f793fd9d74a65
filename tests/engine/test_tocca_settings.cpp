#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/core/atomic_file.h"
#include "engine/settings/tocca_settings.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

fs::path settingsFile(const ScopedXdgHome& home) {
    return home.configHome() / "Clavio" / "settings.json";
}

// Every value differs from its default, and the floats are ones whose
// shortest decimal form is long, so a lossy writer shows.
SettingsValues unusualValues() {
    SettingsValues v;
    v.soundEnabled = false;
    v.masterVolume = 1.7f;
    v.selectedPackName = "Ünïcode \"pack\"\n";
    v.searchPreMs = 0.1 + 0.2;
    v.searchPostMs = 1e-300;
    v.baselineWindowMs = 123456.789;
    v.highpassEnabled = true;
    v.highpassAlpha = std::nextafter(0.95f, 1.0f);
    v.deadzone = 1e-38f;
    v.hardCap = 3.4028235e38f;
    v.compressGamma = 1.0f / 3.0f;
    v.softThreshold = -0.0f;
    v.mediumThreshold = 0.1f;
    v.hardThreshold = std::nextafter(0.55f, 0.0f);
    v.slamThreshold = 0.99999994f;
    v.macroEnabled = true;
    v.pitchVariation = 7e-45f; // a subnormal
    v.gainVariation = 0.3f;
    v.crossfadeWidth = 16777217.0f;
    v.launchAtLogin = true;
    v.hideMenuBarIcon = true;
    v.disableMenuBarIconOpacity = true;
    v.menuBarClickAction = "toggle";
    v.disableModifierSounds = true;
    v.toggleShortcut = "⌘⇧K";
    v.useAdaptiveClassifier = false;
    v.minInterKeyGapMs = -5.5;
    return v;
}

std::string encoded(const SettingsValues& v) {
    std::string json, error;
    return encodeSettings(v, json, error) ? json : error;
}

} // namespace

TEST(SettingsValues, EveryKeyIsWrittenInOrderAndReadsBackBitForBit) {
    const std::string json = encoded(unusualValues());
    EXPECT_EQ(json.find('\n'), std::string::npos) << "compact";
    std::size_t i = 0;
    const auto ordered = nlohmann::ordered_json::parse(json);
    for (const auto& [key, value] : ordered.items()) {
        EXPECT_EQ(key, name(static_cast<SettingsKey>(i++)));
    }
    EXPECT_EQ(i, kSettingsKeyCount);
    const auto decoded = decodeSettings(json).value();
    EXPECT_EQ(decoded, unusualValues());
    EXPECT_TRUE(std::signbit(decoded.softThreshold));
    EXPECT_EQ(encoded(decoded), json) << "a second round changes nothing";
}

TEST(SettingsValues, DecodeDefaultsAbsentAndNullMembersAndFailsOnABadOneNamingIt) {
    SettingsValues expected;
    expected.masterVolume = 0.5f;
    expected.searchPreMs = 3.5e38; // a double key holds what a float key cannot
    EXPECT_EQ(decodeSettings(R"({"masterVolume":0.5,"deadzone":null,"searchPreMs":3.5e38,
                                 "unknown":{"x":[1]},"soundEnabled":null})").value(), expected);
    const std::pair<const char*, const char*> cases[] = {
        {R"({"masterVolume":"loud"})", "$.masterVolume: expected a number, found a string"},
        {R"({"soundEnabled":1})", "$.soundEnabled: expected a boolean, found a number"},
        {R"({"selectedPackName":["Biscuit"]})",
         "$.selectedPackName: expected a string, found an array"},
        {R"({"hardCap":3.5e38})", "$.hardCap: 3.5e+38 does not fit a 32-bit float"},
        {R"({"deadzone":-1e39})", "$.deadzone: -1e+39 does not fit a 32-bit float"},
        {R"([])", "$: expected an object, found an array"},
    };
    for (const auto& [json, message] : cases) {
        auto result = decodeSettings(json);
        ASSERT_FALSE(result.ok()) << json;
        EXPECT_EQ(result.error().text(), message);
    }
    EXPECT_FALSE(decodeSettings(R"({"searchPreMs":1e400})").ok());
    SettingsValues v;
    v.gainVariation = std::numeric_limits<float>::quiet_NaN();
    std::string json = "untouched", error;
    EXPECT_FALSE(encodeSettings(v, json, error));
    EXPECT_NE(error.find("gainVariation"), std::string::npos);
    EXPECT_EQ(json, "untouched");
}

TEST(ToccaSettings, LoadWithoutFileGivesDefaultsAndSaveDropsUnknownMembers) {
    ScopedXdgHome home;
    auto fresh = ToccaSettings::load();
    EXPECT_EQ(fresh.values(), SettingsValues{});
    EXPECT_FALSE(fresh.hasUnreadableFile());
    EXPECT_FALSE(fs::exists(settingsFile(home))) << "loading writes nothing";
    writeFile(settingsFile(home), R"({"masterVolume":0.5,"futureKey":true})");
    auto s = ToccaSettings::load();
    EXPECT_EQ(s.masterVolume(), 0.5f);
    s.assign(unusualValues());
    ASSERT_TRUE(s.save());
    EXPECT_EQ(readFile(settingsFile(home)).find("futureKey"), std::string::npos);
    EXPECT_EQ(ToccaSettings::load().values(), unusualValues());
}

TEST(ToccaSettings, ObserversAreNotifiedBeforeEachChangeAndTheImpactConfigFollows) {
    ToccaSettings s;
    std::vector<std::string> seen;
    const auto token = s.subscribe([&](SettingsKey key) {
        seen.push_back(std::string(name(key)) + ":" +
                       (key == SettingsKey::selectedPackName ? s.selectedPackName()
                                                             : std::to_string(s.masterVolume())));
    });
    s.setMasterVolume(0.25f);
    s.setSelectedPackName("Bluebell");
    s.setMasterVolume(0.25f); // same value: still a change notification
    s.unsubscribe(token);
    s.setMasterVolume(0.5f);
    EXPECT_EQ(seen, (std::vector<std::string>{"masterVolume:1.000000", "selectedPackName:Biscuit",
                                              "masterVolume:0.250000"}));
    // Each classifier setting reaches its own field of the impact config.
    EXPECT_EQ(s.impactConfig(), ImpactConfig{});
    s.setSearchPreMs(3);
    s.setSearchPostMs(4);
    s.setBaselineWindowMs(5);
    s.setHighpassEnabled(true);
    s.setHighpassAlpha(0.5f);
    s.setDeadzone(0.01f);
    s.setHardCap(0.2f);
    s.setCompressGamma(1.5f);
    s.setSoftThreshold(0.1f);
    s.setMediumThreshold(0.3f);
    s.setHardThreshold(0.6f);
    s.setSlamThreshold(0.9f);
    s.setMinInterKeyGapMs(33);
    EXPECT_EQ(s.impactConfig(), (ImpactConfig{3, 4, 5, 0.01f, true, 0.5f, 0.01f, 0.2f, 1.5f, 0.1f,
                                              0.3f, 0.6f, 0.9f, 33}));
}

TEST(ToccaSettings, UnusableFilesGiveDefaultsAndTheFirstSaveKeepsThemAside) {
    const std::string cases[] = {"", "{\"masterVolume\":0.5", "null",
                                 R"({"masterVolume":"0.5","soundEnabled":false})",
                                 "{\"selectedPackName\":\"B\xE9\"}",
                                 std::string(kMaxSettingsBytes + 10, ' ') + "{}",
                                 std::string(500000, '[') + std::string(500000, ']')};
    for (const auto& text : cases) {
        ScopedXdgHome home;
        writeFile(settingsFile(home), text);
        auto s = ToccaSettings::load();
        EXPECT_EQ(s.values(), SettingsValues{}) << text.substr(0, 40);
        EXPECT_TRUE(s.hasUnreadableFile());
        EXPECT_EQ(readFile(settingsFile(home)), text) << "load never writes";
    }
    ScopedXdgHome home;
    const fs::path file = settingsFile(home);
    writeFile(file, R"({"masterVolume":"typo"})");
    writeFile(file.string() + ".unreadable", "an older one");
    LogCapture log;
    auto s = ToccaSettings::load();
    // The application's start sets it aside at once (a save would too).
    ASSERT_TRUE(s.setUnreadableFileAside());
    EXPECT_FALSE(fs::exists(file));
    s.setSoundEnabled(false);
    ASSERT_TRUE(s.save());
    ASSERT_TRUE(s.save());
    EXPECT_EQ(readFile(file.string() + ".unreadable"), "an older one");
    EXPECT_EQ(readFile(file.string() + ".unreadable.2"), R"({"masterVolume":"typo"})");
    EXPECT_FALSE(fs::exists(file.string() + ".unreadable.3")) << "only the first save keeps it";
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.count("[Clavio] Settings file could not be read (" + file.string()), 1u);
    EXPECT_NE(log.lines()[0].find("masterVolume"), std::string::npos) << log.lines()[0];
    EXPECT_TRUE(log.lines()[0].ends_with("kept it as " + file.string() +
                                         ".unreadable.2 and started from the defaults"));
    EXPECT_FALSE(ToccaSettings::load().soundEnabled());
}

// The values are written with relaxed atomics and a locked string; a torn
// read shows as a value never written, but a plain build rarely hits one.
TEST(ToccaSettings, ScalarsReadFromOtherThreadsAreNeverTornUnderThreadSanitizer) {
    ToccaSettings s;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            const float t = s.slamThreshold();
            EXPECT_TRUE(t == 0.82f || t == 0.5f);
            const std::string pack = s.selectedPackName();
            EXPECT_TRUE(pack == "Biscuit" || pack == "Bluebell with a long name past SSO");
            (void)s.soundEnabled();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        s.setSlamThreshold(i % 2 ? 0.5f : 0.82f);
        s.setSelectedPackName(i % 2 ? "Bluebell with a long name past SSO" : "Biscuit");
        s.setSoundEnabled(i % 2);
    }
    stop = true;
    reader.join();
}
