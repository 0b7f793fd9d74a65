#include <gtest/gtest.h>

#include <algorithm>

#include "engine/core/atomic_file.h"
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
    EXPECT_FALSE(PresetManager::load("broken"));
    EXPECT_FALSE(PresetManager::load("typed"));
    EXPECT_FALSE(PresetManager::load("missing"));
    EXPECT_FALSE(PresetManager::load("notes"));
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
        EXPECT_FALSE(PresetManager::load(bad));
    }
    {
        LogCapture log;
        PresetManager::save(s, "../outside");
        EXPECT_TRUE(log.contains("[Clavio] Failed to save preset '../outside': a preset name"));
    }
    EXPECT_EQ(readFile(home.configHome() / "Clavio" / "outside.json"), R"({"masterVolume":0.5})");
    EXPECT_TRUE(PresetManager::availablePresets().empty());
    // Dots inside a name are fine.
    EXPECT_TRUE(PresetManager::save(s, "v1.2..final"));
    EXPECT_TRUE(PresetManager::load("v1.2..final"));
}

TEST(PresetManager, FailedWriteLogsAndKeepsThePreviousPreset) {
    ScopedXdgHome home;
    ToccaSettings s;
    s.setMasterVolume(0.4f);
    ASSERT_TRUE(PresetManager::save(s, "keep"));
    const std::string before = readFile(presets(home) / "keep.json");
    s.setMasterVolume(0.8f);
    LogCapture log;
    setFileSyncHook([](const fs::path&) { return false; });
    EXPECT_FALSE(PresetManager::save(s, "keep"));
    setFileSyncHook(nullptr);
    EXPECT_EQ(log.count("[Clavio] Failed to save preset 'keep': cannot flush"), 1u);
    const std::string longName(300, 'x'); // past the file system's name limit
    EXPECT_FALSE(PresetManager::save(s, longName));
    EXPECT_EQ(log.count("[Clavio] Failed to save preset '" + longName + "': "), 1u);
    EXPECT_EQ(readFile(presets(home) / "keep.json"), before);
    EXPECT_EQ(PresetManager::availablePresets(), std::vector<std::string>{"keep"});
}

