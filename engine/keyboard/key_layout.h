// Where a key sits on a standard (ANSI) keyboard and what it is called, by
// virtual key code: the table behind stereo placement of key sounds and the
// mute shortcut's text form ("Ctrl+Alt+M").
//
// Threading: pure functions over constant tables; real-time safe except
// parseKeyChord and formatKeyChord (they build strings).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace clavio {

// The key's horizontal place from the left edge (-1) to the right edge (+1)
// of the main block: left Shift about -0.85, Enter about +0.85, the space
// bar a little left of the middle. Keys the table does not place (keypad,
// media keys, unmapped codes) are centred (0).
float keyStereoPosition(std::uint16_t keyCode) noexcept;

// The key's name as the shortcut text writes it ("M", "F5", "Space"); empty
// for a code the table does not name.
std::string_view keyName(std::uint16_t keyCode) noexcept;

// One key plus the modifiers that must be held with it. `modifiers` holds
// only the Shift, Control, Alt and Super flag bits (core_types.h).
struct KeyChord {
    std::uint16_t keyCode = 0;
    std::uint32_t modifiers = 0;

    friend bool operator==(const KeyChord&, const KeyChord&) = default;
};

// The four modifier flags a chord may use.
std::uint32_t chordModifierMask() noexcept;

// "Ctrl+Alt+M": modifiers ("Ctrl"/"Control", "Alt", "Shift", "Super"/"Meta",
// any case, any order) and one named key, joined by '+'. None for an empty
// text, an unknown name, a modifier named twice, a missing key, two keys, or
// no modifier at all (a bare key would swallow normal typing).
std::optional<KeyChord> parseKeyChord(std::string_view text);

// The text parseKeyChord reads back: modifiers in the order Ctrl, Alt, Shift,
// Super, then the key's name.
std::string formatKeyChord(const KeyChord& chord);

} // namespace clavio
