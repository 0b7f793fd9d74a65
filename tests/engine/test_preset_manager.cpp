#include <gtest/gtest.h>

#include <algorithm>

#include "engine/settings/preset_manager.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::LogCapture;
using clavio::testing::readFile;
using clavio::testing::ScopedXdgHome;
using clavio::testing::writeFile;
namespace fs = std::filesystem;

namespace {
fs::path presets(const ScopedXdgHome& home) {
    return home.configHome() / "Clavio" / "Presets";
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}
} // namespace

TEST(PresetManager, SavedPresetLoadsBackKeyByKeyAndIsListed) {
    ScopedXdgHome home;
    ToccaSettings s;
    s.setMasterVolume(0.3f);
    s.setSelectedPackName("Bluebell");
    s.setHardThreshold(0.61f);
    s.setToggleShortcut("ctrl+alt+k");
    ASSERT_TRUE(PresetManager::save(s, "Night typing"));
    auto loaded = PresetManager::load("Night typing");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->values(), s.values());
    EXPECT_EQ(PresetManager::availablePresets(), std::vector<std::string>{"Night typing"});
    EXPECT_EQ(PresetManager::presetsFolder(), presets(home));
}

TEST(PresetManager, ListsJsonFilesOnlyAndInvalidOnesLoadAsNothing) {
    ScopedXdgHome home;
    writeFile(presets(home) / "notes.txt", "hello");
    writeFile(presets(home) / "backup.json.bak", "{}");
    writeFile(presets(home) / "broken.json", "{\"masterVolume\":");
    writeFile(presets(home) / "typed.json", R"({"soundEnabled":"yes"})");
    writeFile(presets(home) / "by hand.json", R"({"softThreshold":0.125})");
    EXPECT_EQ(sorted(PresetManager::availablePresets()),
              (std::vector<std::string>{"broken", "by hand", "typed"}));
    LogCapture log;
    for (const char* invalid : {"broken", "typed", "missing", "notes"}) {
        EXPECT_FALSE(PresetManager::load(invalid)) << invalid;
    }
    auto byHand = PresetManager::load("by hand");
    ASSERT_TRUE(byHand);
    SettingsValues expected;
    expected.softThreshold = 0.125f;
    EXPECT_EQ(byHand->values(), expected);
    EXPECT_TRUE(log.lines().empty()) << "loading logs nothing";
}

TEST(PresetManager, RefusesNamesThatLeaveTheFolder) {
    ScopedXdgHome home;
    writeFile(home.configHome() / "Clavio" / "outside.json", R"({"masterVolume":0.5})");
    ToccaSettings s;
    const std::string names[] = {"", ".", "..", "../outside", "a/b", std::string("a\0b", 3)};
    for (const auto& bad : names) {
        LogCapture log;
        EXPECT_FALSE(PresetManager::save(s, bad));
        EXPECT_EQ(log.count("[Clavio] Failed to save preset '"), 1u);
        EXPECT_EQ(log.count("': a preset name must not be empty"), 1u);
        EXPECT_FALSE(PresetManager::load(bad));
    }
    EXPECT_EQ(readFile(home.configHome() / "Clavio" / "outside.json"), R"({"masterVolume":0.5})");
    EXPECT_TRUE(PresetManager::availablePresets().empty());
    // Dots inside a name are fine.
    EXPECT_TRUE(PresetManager::save(s, "v1.2..final"));
    EXPECT_TRUE(PresetManager::load("v1.2..final"));
}

