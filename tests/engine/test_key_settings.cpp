// The mute shortcut, watched in the coordinator's key handlers, and the pack
// preview, on virtual time through the capture's event logic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "engine/core/core_types.h"
#include "engine/keyboard/key_layout.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kCtrl = 59, kAlt = 58, kM = 46, kA = 0;

struct KeyRig : CoordinatorRig {
    KeyRig() { installPack("Tone", userPacks() / "Tone"); }
    void tap(TCATapEventType type, std::uint16_t code, std::uint64_t flags, bool repeat = false) {
        coordinator().keyboard().deliverTapEvent({type, code, flags, repeat});
        run(30ms, 1.0f);
    }
    // Ctrl+Alt+M: modifiers down, M (with `repeats` auto-repeats), all up.
    void chord(int repeats = 0, std::optional<std::uint16_t> alsoHeld = std::nullopt) {
        const std::uint64_t both = kFlagControl | kFlagOption;
        if (alsoHeld) {
            tap(TCATapEventType::keyDown, *alsoHeld, 0);
        }
        tap(TCATapEventType::flagsChanged, kCtrl, kFlagControl);
        tap(TCATapEventType::flagsChanged, kAlt, both);
        tap(TCATapEventType::keyDown, kM, both);
        for (int i = 0; i < repeats; ++i) {
            tap(TCATapEventType::keyDown, kM, both, true);
        }
        tap(TCATapEventType::keyUp, kM, both);
        tap(TCATapEventType::flagsChanged, kAlt, kFlagControl);
        tap(TCATapEventType::flagsChanged, kCtrl, 0);
        if (alsoHeld) {
            tap(TCATapEventType::keyUp, *alsoHeld, 0);
        }
    }
    std::size_t reportsOf(std::uint16_t code) const {
        const auto same = [code](const auto& r) { return r.keyEvent.keyCode == code; };
        return std::size_t(std::count_if(presses().begin(), presses().end(), same) +
                           std::count_if(releases().begin(), releases().end(), same));
    }
};

SettingsValues withShortcut(std::string shortcut, bool soundOn = true) {
    SettingsValues v;
    v.selectedPackName = "Tone";
    v.toggleShortcut = std::move(shortcut);
    v.soundEnabled = soundOn;
    return v;
}

} // namespace

TEST(MuteShortcut, ChordTogglesOncePerPressSilentlyAndTurnsSoundBackOn) {
    KeyRig r;
    r.launch(withShortcut("Ctrl+Alt+M"));
    r.run(100ms, 1.0f);
    r.chord(3); // auto-repeat must not toggle again
    EXPECT_FALSE(r.settings().soundEnabled());
    r.chord();
    EXPECT_TRUE(r.settings().soundEnabled());
    // M never reached the pipeline; the modifiers' releases stayed silent.
    EXPECT_EQ(r.reportsOf(kM), 0u);
    EXPECT_TRUE(r.releases().empty());
    EXPECT_EQ(r.coordinator().sessionKeystrokes(), 4); // the modifier presses
}

TEST(MuteShortcut, OtherKeysHeldWrongModifiersOrNoShortcutLeaveSoundAlone) {
    const struct {
        const char* shortcut;
        bool holdA;
    } cases[] = {{"Ctrl+Alt+M", true}, {"Ctrl+M", false}, {"Ctrl+Alt+N", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shortcut);
        KeyRig r;
        r.launch(withShortcut(c.shortcut));
        r.run(100ms, 1.0f);
        r.chord(0, c.holdA ? std::optional<std::uint16_t>(kA) : std::nullopt);
        EXPECT_TRUE(r.settings().soundEnabled());
        EXPECT_EQ(r.reportsOf(kM), 2u); // M sounded as any key
    }
}

TEST(MuteShortcut, WorksFromALaunchWithSoundOffAndABadShortcutIsRefusedWithOneLine) {
    {
        KeyRig r;
        r.launch(withShortcut("ctrl + alt + m", false));
        r.run(100ms, 1.0f);
        ASSERT_TRUE(r.coordinator().isRunning());
        r.chord();
        EXPECT_TRUE(r.settings().soundEnabled());
    }
    LogCapture log;
    KeyRig r;
    r.launch(withShortcut("Ctrl+Alt+Banana"));
    r.run(100ms, 1.0f);
    r.chord();
    EXPECT_TRUE(r.settings().soundEnabled());
    EXPECT_EQ(log.count("toggleShortcut \"Ctrl+Alt+Banana\" refused"), 1u);
}

TEST(KeyChordText, ParsesAndFormatsTheUsualFormAndRefusesTheRest) {
    const auto chord = parseKeyChord("Alt+ctrl+m");
    ASSERT_TRUE(chord);
    EXPECT_EQ(formatKeyChord(*chord), "Ctrl+Alt+M");
    EXPECT_EQ(parseKeyChord(formatKeyChord(*chord)), chord);
    for (const char* bad : {"M", "Ctrl+", "Ctrl+Ctrl+M", "Ctrl+M+N", "Hyper+M", "", "Ctrl++M"}) {
        EXPECT_FALSE(parseKeyChord(bad)) << bad;
    }
}

// Four presses from soft to hard, 120 ms apart, louder each time; nothing
// when sound is off.
TEST(PackPreview, PlaysARisingPhraseOnlyWhileSoundIsOn) {
    for (const bool soundOn : {true, false}) {
        SCOPED_TRACE(soundOn);
        KeyRig r;
        r.launch(withShortcut(""));
        r.run(100ms, 1.0f);
        r.settings().setSoundEnabled(soundOn);
        const std::size_t from = r.audio().size() / 2;
        r.coordinator().previewPack();
        r.run(600ms, 1.0f);
        // Silence until the first press, then each press's level 50 ms in.
        if (!soundOn) {
            EXPECT_EQ(r.firstSoundingFrame(from), -1);
            continue;
        }
        EXPECT_EQ(r.firstSoundingFrame(from), long(from + 5760 - 48)) << "first press at 120 ms";
        std::vector<float> levels;
        for (std::size_t note = 0; note < 4; ++note) {
            levels.push_back(std::abs(r.audio()[2 * (from - 48 + (note + 1) * 5760 + 2400)]));
        }
        for (std::size_t note = 1; note < 4; ++note) {
            EXPECT_GT(levels[note], levels[note - 1]) << ::testing::PrintToString(levels);
        }
    }
}
