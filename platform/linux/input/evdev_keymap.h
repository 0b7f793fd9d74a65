// Evdev key codes to the virtual key codes of the key-group table, so key
// events carry the same numbers whatever the hardware. Covers every key of a
// 105-key keyboard, the keypad, F1..F20 and the volume keys; a key with no
// counterpart (media keys other than volume, brightness, ...) becomes
// 0x100 + its evdev code, which the table files under `other`.
//
// Threading: pure functions; real-time safe.
#pragma once

#include <cstdint>

namespace clavio::platform {

inline constexpr std::uint16_t kUnmappedKeyBase = 0x100;
// Returned for codes beyond KEY_MAX, which no device sends.
inline constexpr std::uint16_t kInvalidKeyCode = 0xFFFF;

std::uint16_t evdevToVirtualKeyCode(std::uint16_t evdevCode) noexcept;

// Evdev codes that are buttons (mouse, joystick, touch), not keys: a keyboard
// with a built-in pointer reports them too, and they must not sound.
bool isEvdevButton(std::uint16_t evdevCode) noexcept;

} // namespace clavio::platform
