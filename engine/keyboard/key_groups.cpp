#include "engine/keyboard/key_groups.h"

namespace clavio {

namespace {
// Bit (code - 96) set for the function keys F1..F12 among 96..126.
constexpr std::uint32_t kFunctionKeyMask = 0x0540A0BF;
// Bit (code - 96) set for the arrows 123..126.
constexpr std::uint32_t kArrowKeyMask = 0x78000000;
} // namespace

int TCAKeyGroupFromKeyCode(std::int32_t keyCode) noexcept {
    if (keyCode >= 96 && keyCode <= 126) {
        const std::uint32_t bit = 1u << static_cast<unsigned>(keyCode - 96);
        if (bit & kFunctionKeyMask) {
            return rawValue(KeyGroup::function);
        }
        if (bit & kArrowKeyMask) {
            return rawValue(KeyGroup::arrow);
        }
        if (keyCode == 117) {
            return rawValue(KeyGroup::deleteKey);
        }
    }
    if (keyCode == 49) {
        return rawValue(KeyGroup::space);
    }
    if (keyCode == 51) {
        return rawValue(KeyGroup::deleteKey);
    }
    if (keyCode >= 54 && keyCode <= 63) {
        return rawValue(KeyGroup::modifier);
    }
    if (keyCode == 36 || keyCode == 76) {
        return rawValue(KeyGroup::enter);
    }
    if ((keyCode >= 0 && keyCode <= 50) || (keyCode >= 65 && keyCode <= 92)) {
        return rawValue(KeyGroup::alpha);
    }
    return rawValue(KeyGroup::other);
}

KeyGroup keyGroupForKeyCode(std::int32_t keyCode) noexcept {
    return keyGroupFromRaw(TCAKeyGroupFromKeyCode(keyCode)).value_or(KeyGroup::other);
}

} // namespace clavio
