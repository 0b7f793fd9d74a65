#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/core/atomic_file.h"
#include "engine/settings/tocca_settings.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::LogCapture;
using clavio::testing::readFile;
using clavio::testing::ScopedXdgHome;
using clavio::testing::writeFile;
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

bool sameBits(const SettingsValues& a, const SettingsValues& b) {
    auto bits = [](auto x) {
        return std::bit_cast<std::conditional_t<sizeof(x) == 4, std::uint32_t, std::uint64_t>>(x);
    };
    return a.soundEnabled == b.soundEnabled && bits(a.masterVolume) == bits(b.masterVolume) &&
           a.selectedPackName == b.selectedPackName && bits(a.searchPreMs) == bits(b.searchPreMs) &&
           bits(a.searchPostMs) == bits(b.searchPostMs) &&
           bits(a.baselineWindowMs) == bits(b.baselineWindowMs) &&
           a.highpassEnabled == b.highpassEnabled &&
           bits(a.highpassAlpha) == bits(b.highpassAlpha) && bits(a.deadzone) == bits(b.deadzone) &&
           bits(a.hardCap) == bits(b.hardCap) && bits(a.compressGamma) == bits(b.compressGamma) &&
           bits(a.softThreshold) == bits(b.softThreshold) &&
           bits(a.mediumThreshold) == bits(b.mediumThreshold) &&
           bits(a.hardThreshold) == bits(b.hardThreshold) &&
           bits(a.slamThreshold) == bits(b.slamThreshold) && a.macroEnabled == b.macroEnabled &&
           bits(a.pitchVariation) == bits(b.pitchVariation) &&
           bits(a.gainVariation) == bits(b.gainVariation) &&
           bits(a.crossfadeWidth) == bits(b.crossfadeWidth) && a.launchAtLogin == b.launchAtLogin &&
           a.hideMenuBarIcon == b.hideMenuBarIcon &&
           a.disableMenuBarIconOpacity == b.disableMenuBarIconOpacity &&
           a.menuBarClickAction == b.menuBarClickAction &&
           a.disableModifierSounds == b.disableModifierSounds &&
           a.toggleShortcut == b.toggleShortcut &&
           a.useAdaptiveClassifier == b.useAdaptiveClassifier &&
           bits(a.minInterKeyGapMs) == bits(b.minInterKeyGapMs);
}

} // namespace

TEST(SettingsValues, DefaultsAndKeyNamesFollowTheTable) {
    const SettingsValues d;
    EXPECT_TRUE(d.soundEnabled);
    EXPECT_EQ(d.masterVolume, 1.0f);
    EXPECT_EQ(d.selectedPackName, "Biscuit");
    EXPECT_EQ(d.highpassAlpha, 0.95f);
    EXPECT_EQ(d.deadzone, 0.003f);
    EXPECT_EQ(d.menuBarClickAction, "menu");
    EXPECT_EQ(d.toggleShortcut, "");
    EXPECT_TRUE(d.useAdaptiveClassifier);
    EXPECT_EQ(name(SettingsKey::soundEnabled), "soundEnabled");
    EXPECT_EQ(name(SettingsKey::disableMenuBarIconOpacity), "disableMenuBarIconOpacity");
    EXPECT_EQ(name(SettingsKey::minInterKeyGapMs), "minInterKeyGapMs");

    std::string json, error;
    ASSERT_TRUE(encodeSettings(d, json, error));
    const auto object = nlohmann::json::parse(json);
    ASSERT_EQ(object.size(), kSettingsKeyCount);
    size_t i = 0;
    const auto ordered = nlohmann::ordered_json::parse(json);
    for (const auto& [key, value] : ordered.items()) {
        EXPECT_EQ(key, name(static_cast<SettingsKey>(i++))) << "keys are written in table order";
    }
    EXPECT_EQ(json.find('\n'), std::string::npos) << "compact";
    EXPECT_NE(json.find(R"("highpassAlpha":0.95,)"), std::string::npos) << json;
}

TEST(SettingsValues, AllKeysRoundTripBitForBit) {
    const SettingsValues v = unusualValues();
    std::string json, error;
    ASSERT_TRUE(encodeSettings(v, json, error)) << error;
    auto decoded = decodeSettings(json);
    ASSERT_TRUE(decoded.ok()) << decoded.error().text();
    EXPECT_TRUE(sameBits(decoded.value(), v)) << json;

    // Many random floats, through the same text form.
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        SettingsValues r;
        std::uint32_t raw = rng();
        std::memcpy(&r.masterVolume, &raw, 4);
        if (!std::isfinite(r.masterVolume)) {
            continue;
        }
        ASSERT_TRUE(encodeSettings(r, json, error));
        auto back = decodeSettings(json);
        ASSERT_TRUE(back.ok());
        ASSERT_EQ(std::bit_cast<std::uint32_t>(back.value().masterVolume), raw) << json;
    }
}

TEST(SettingsValues, DecodeTakesPresentValuesAndDefaultsTheRest) {
    auto partial = decodeSettings(R"({"masterVolume":0.5,"deadzone":null,"searchPreMs":7,
                                      "hardCap":1,"unknown":{"x":[1]},"soundEnabled":null})");
    ASSERT_TRUE(partial.ok());
    SettingsValues expected;
    expected.masterVolume = 0.5f;
    expected.searchPreMs = 7.0;
    expected.hardCap = 1.0f;
    EXPECT_EQ(partial.value(), expected);
    EXPECT_EQ(decodeSettings("{}").value(), SettingsValues{});
}

TEST(SettingsValues, AnyWronglyTypedOrOversizedMemberFailsTheWholeDecode) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"masterVolume":"loud"})", "$.masterVolume: expected a number, found a string"},
        {R"({"soundEnabled":1})", "$.soundEnabled: expected a boolean, found a number"},
        {R"({"selectedPackName":["Biscuit"]})",
         "$.selectedPackName: expected a string, found an array"},
        {R"({"searchPreMs":true})", "$.searchPreMs: expected a number, found a boolean"},
        {R"({"hardCap":3.5e38})", "$.hardCap: 3.5e+38 does not fit a 32-bit float"},
        {R"({"deadzone":-1e39})", "$.deadzone: -1e+39 does not fit a 32-bit float"},
        {R"([])", "$: expected an object, found an array"},
        {R"("settings")", "$: expected an object, found a string"},
    };
    for (const auto& [json, message] : cases) {
        auto result = decodeSettings(json);
        ASSERT_FALSE(result.ok()) << json;
        EXPECT_EQ(result.error().text(), message);
    }
    // A double key holds what a float key cannot.
    auto wide = decodeSettings(R"({"searchPreMs":3.5e38})");
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ(wide.value().searchPreMs, 3.5e38);
    EXPECT_FALSE(decodeSettings(R"({"searchPreMs":1e400})").ok());
}

TEST(SettingsValues, NonFiniteValuesCannotBeEncoded) {
    SettingsValues v;
    v.gainVariation = std::numeric_limits<float>::quiet_NaN();
    std::string json = "untouched", error;
    EXPECT_FALSE(encodeSettings(v, json, error));
    EXPECT_NE(error.find("gainVariation"), std::string::npos);
    EXPECT_EQ(json, "untouched");
}

TEST(ToccaSettings, LoadWithoutFileGivesDefaultsCreatesFolderAndWritesNothing) {
    ScopedXdgHome home;
    auto s = ToccaSettings::load();
    EXPECT_EQ(s.values(), SettingsValues{});
    EXPECT_FALSE(s.hasUnreadableFile());
    EXPECT_TRUE(fs::is_directory(home.configHome() / "Clavio"));
    EXPECT_FALSE(fs::exists(settingsFile(home)));
    ASSERT_TRUE(s.save());
    EXPECT_EQ(nlohmann::json::parse(readFile(settingsFile(home))).size(), kSettingsKeyCount);
}

TEST(ToccaSettings, SaveAndLoadRoundTripAndDropUnknownMembers) {
    ScopedXdgHome home;
    fs::create_directories(settingsFile(home).parent_path());
    writeFile(settingsFile(home), R"({"masterVolume":0.5,"futureKey":true})");
    auto s = ToccaSettings::load();
    EXPECT_EQ(s.masterVolume(), 0.5f);
    s.assign(unusualValues());
    ASSERT_TRUE(s.save());
    const std::string text = readFile(settingsFile(home));
    EXPECT_EQ(text.find("futureKey"), std::string::npos);
    EXPECT_TRUE(sameBits(ToccaSettings::load().values(), unusualValues()));
    EXPECT_EQ(std::distance(fs::directory_iterator(settingsFile(home).parent_path()),
                            fs::directory_iterator()),
              1)
        << "no temporary file is left behind";
}

TEST(ToccaSettings, StoresUnclampedValuesAndBuildsTheImpactConfig) {
    ToccaSettings s;
    const ImpactConfig defaults = s.impactConfig();
    EXPECT_EQ(defaults, ImpactConfig{});
    EXPECT_EQ(defaults.baselineAlpha, 0.01f);
    s.setMasterVolume(1.7f);
    EXPECT_EQ(s.masterVolume(), 1.7f);
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
    const ImpactConfig c = s.impactConfig();
    EXPECT_EQ(c, (ImpactConfig{3, 4, 5, 0.01f, true, 0.5f, 0.01f, 0.2f, 1.5f, 0.1f, 0.3f, 0.6f,
                               0.9f, 33}));
}

TEST(ToccaSettings, ObserversAreNotifiedBeforeEachChange) {
    ToccaSettings s;
    std::vector<std::string> seen;
    auto token = s.subscribe([&](SettingsKey key) {
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
}

TEST(ToccaSettings, UnusableFilesGiveDefaults) {
    const std::string cases[] = {
        "",
        "{\"masterVolume\":0.5",
        "[1,2,3]",
        "null",
        R"({"masterVolume":"0.5","soundEnabled":false})",
        "{\"selectedPackName\":\"B\xE9\"}",
        std::string(kMaxSettingsBytes + 10, ' ') + "{}",
        std::string(500000, '[') + std::string(500000, ']'),
    };
    for (const auto& text : cases) {
        ScopedXdgHome home;
        fs::create_directories(settingsFile(home).parent_path());
        writeFile(settingsFile(home), text);
        auto s = ToccaSettings::load();
        EXPECT_EQ(s.values(), SettingsValues{}) << text.substr(0, 40);
        EXPECT_TRUE(s.hasUnreadableFile());
        EXPECT_EQ(readFile(settingsFile(home)), text) << "load never writes";
    }
    ScopedXdgHome home;
    fs::create_directories(settingsFile(home)); // a folder where the file should be
    EXPECT_EQ(ToccaSettings::load().values(), SettingsValues{});
}

TEST(ToccaSettings, FirstSaveKeepsAnUnreadableFileAside) {
    ScopedXdgHome home;
    const fs::path file = settingsFile(home);
    fs::create_directories(file.parent_path());
    writeFile(file, R"({"masterVolume":"typo", "selectedPackName":"Mine"})");
    writeFile(file.string() + ".unreadable", "an older one");
    LogCapture log;
    auto s = ToccaSettings::load();
    s.setSoundEnabled(false);
    ASSERT_TRUE(s.save());
    EXPECT_EQ(readFile(file.string() + ".unreadable"), "an older one");
    EXPECT_EQ(readFile(file.string() + ".unreadable.2"),
              R"({"masterVolume":"typo", "selectedPackName":"Mine"})");
    EXPECT_EQ(log.count("[Clavio] Settings file could not be read; kept it as " + file.string() +
                        ".unreadable.2"),
              1u);
    EXPECT_FALSE(ToccaSettings::load().soundEnabled());
    ASSERT_TRUE(s.save());
    EXPECT_FALSE(fs::exists(file.string() + ".unreadable.3")) << "only the first save keeps it";
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(ToccaSettings, FailedSaveLogsAndLeavesThePreviousFile) {
    ScopedXdgHome home;
    ToccaSettings first;
    first.setMasterVolume(0.5f);
    ASSERT_TRUE(first.save());
    const std::string before = readFile(settingsFile(home));

    ToccaSettings second;
    second.setMasterVolume(0.9f);
    {
        LogCapture log;
        second.setPitchVariation(std::numeric_limits<float>::infinity());
        EXPECT_FALSE(second.save());
        EXPECT_EQ(log.count("[Clavio] Failed to save settings: the value of pitchVariation"), 1u);
    }
    second.setPitchVariation(0.03f);
    {
        // The disk refuses to make the new file durable (root ignores folder
        // permissions, so the failure is injected through the flush hook).
        LogCapture log;
        setFileSyncHook([](const fs::path&) { return false; });
        const bool saved = second.save();
        setFileSyncHook(nullptr);
        EXPECT_FALSE(saved);
        EXPECT_EQ(log.count("[Clavio] Failed to save settings: cannot flush"), 1u);
    }
    if (geteuid() != 0) {
        const fs::path folder = settingsFile(home).parent_path();
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        LogCapture log;
        EXPECT_FALSE(second.save());
        fs::permissions(folder, fs::perms::owner_all);
        EXPECT_EQ(log.count("[Clavio] Failed to save settings: "), 1u);
    }
    {
        // The configuration folder cannot be created (a file is in the way):
        // resolving the path ignores that, and the save reports it.
        clavio::testing::ScopedEnv config("XDG_CONFIG_HOME", settingsFile(home).string());
        LogCapture log;
        EXPECT_FALSE(second.save());
        EXPECT_EQ(log.count("[Clavio] Failed to save settings: "), 1u);
    }
    EXPECT_EQ(readFile(settingsFile(home)), before);
    EXPECT_EQ(second.masterVolume(), 0.9f) << "the values in memory stay";
    EXPECT_EQ(std::distance(fs::directory_iterator(settingsFile(home).parent_path()),
                            fs::directory_iterator()),
              1)
        << "no temporary file is left behind";
}

namespace {

// The process may not grow any file beyond `bytes` for its lifetime: write(2)
// then fails with EFBIG, also for root, as on a full disk or an exhausted
// quota. SIGXFSZ, which would end the process, is ignored meanwhile.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &_previous);
        _previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = _previous;
        limit.rlim_cur = bytes;
        _active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &_previous);
        std::signal(SIGXFSZ, _previousHandler);
    }
    bool active() const { return _active; }

private:
    rlimit _previous{};
    void (*_previousHandler)(int) = nullptr;
    bool _active = false;
};

std::size_t entryCount(const fs::path& folder) {
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

} // namespace

TEST(ToccaSettings, FolderTurningUnwritableMidRunFailsSavesAndKeepsEverything) {
    // Root ignores permissions, so the folder fails for real in two other
    // ways: the disk refuses new bytes, and the folder is replaced by a file.
    ScopedXdgHome home;
    const fs::path file = settingsFile(home);
    const fs::path folder = file.parent_path();
    ToccaSettings settings;
    settings.setMasterVolume(0.5f);
    ASSERT_TRUE(settings.save());
    const std::string saved = readFile(file);

    {
        settings.setMasterVolume(0.25f);
        settings.setSelectedPackName("Bluebell");
        LogCapture log;
        bool result = true;
        {
            ScopedFileSizeLimit full(0);
            ASSERT_TRUE(full.active());
            result = settings.save();
        }
        EXPECT_FALSE(result);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("[Clavio] Failed to save settings: cannot write ", 0), 0u)
            << log.lines()[0];
        EXPECT_EQ(readFile(file), saved) << "the old file is intact";
        EXPECT_EQ(entryCount(folder), 1u) << "no temporary file is left behind";
        EXPECT_EQ(settings.masterVolume(), 0.25f) << "the values in memory stay";
        EXPECT_EQ(settings.selectedPackName(), "Bluebell");
    }

    const fs::path movedAway = folder.string() + ".moved";
    fs::rename(folder, movedAway);
    writeFile(folder, "a file where the settings folder was");
    {
        settings.setSoundEnabled(false);
        LogCapture log;
        EXPECT_FALSE(settings.save());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("[Clavio] Failed to save settings: ", 0), 0u);
        EXPECT_EQ(readFile(folder), "a file where the settings folder was");
        EXPECT_EQ(readFile(movedAway / "settings.json"), saved);
        EXPECT_FALSE(settings.soundEnabled());
    }

    // Once the folder is back, the next save writes everything kept in memory.
    fs::remove(folder);
    fs::rename(movedAway, folder);
    ASSERT_TRUE(settings.save());
    const SettingsValues reloaded = ToccaSettings::load().values();
    EXPECT_EQ(reloaded.masterVolume, 0.25f);
    EXPECT_EQ(reloaded.selectedPackName, "Bluebell");
    EXPECT_FALSE(reloaded.soundEnabled);
}

TEST(ToccaSettings, ScalarsReadFromOtherThreadsAreNeverTorn) {
    ToccaSettings s;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) {
            const float t = s.slamThreshold();
            EXPECT_TRUE(t == 0.82f || t == 0.5f);
            const std::string pack = s.selectedPackName();
            EXPECT_TRUE(pack == "Biscuit" || pack == "Bluebell with a long name past SSO");
            (void)s.soundEnabled();
            (void)s.disableModifierSounds();
            (void)s.crossfadeWidth();
        }
    });
    for (int i = 0; i < 20000; ++i) {
        s.setSlamThreshold(i % 2 ? 0.5f : 0.82f);
        s.setSelectedPackName(i % 2 ? "Bluebell with a long name past SSO" : "Biscuit");
        s.setSoundEnabled(i % 2);
        s.setDisableModifierSounds(i % 3);
        s.setCrossfadeWidth(float(i));
    }
    stop = true;
    reader.join();
}
