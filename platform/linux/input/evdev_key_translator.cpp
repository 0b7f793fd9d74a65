#include "platform/linux/input/evdev_key_translator.h"

#include "engine/core/core_types.h"
#include "platform/linux/input/evdev_keymap.h"

namespace clavio::platform {

namespace {

struct ModifierKey {
    std::uint16_t evdev;
    std::uint32_t flag;
};

constexpr std::array<ModifierKey, 9> kModifierKeys = {{
    {KEY_LEFTSHIFT, kFlagShift},
    {KEY_RIGHTSHIFT, kFlagShift},
    {KEY_LEFTCTRL, kFlagControl},
    {KEY_RIGHTCTRL, kFlagControl},
    {KEY_LEFTALT, kFlagOption},
    {KEY_RIGHTALT, kFlagOption},
    {KEY_LEFTMETA, kFlagCommand},
    {KEY_RIGHTMETA, kFlagCommand},
    {KEY_FN, kFlagFunction},
}};

int modifierIndex(std::uint16_t code) noexcept {
    for (std::size_t i = 0; i < kModifierKeys.size(); ++i) {
        if (kModifierKeys[i].evdev == code) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

constexpr std::int32_t kReleased = 0;
constexpr std::int32_t kPressed = 1;
constexpr std::int32_t kRepeated = 2;

} // namespace

std::optional<TCATapEvent> EvdevKeyTranslator::translate(HeldModifiers& device, std::uint16_t code,
                                                         std::int32_t value) noexcept {
    if (code >= KEY_CNT || isEvdevButton(code) || value < kReleased || value > kRepeated) {
        return std::nullopt;
    }
    const std::uint16_t virtualKey = evdevToVirtualKeyCode(code);

    if (code == KEY_CAPSLOCK) {
        if (value != kPressed) {
            return std::nullopt;
        }
        _capsLock = !_capsLock;
        return TCATapEvent{TCATapEventType::flagsChanged, virtualKey, flags(), false};
    }

    if (const int index = modifierIndex(code); index >= 0) {
        // A held modifier does not repeat.
        if (value == kRepeated) {
            return std::nullopt;
        }
        const auto bit = static_cast<HeldModifiers>(1u << index);
        const HeldModifiers next = value == kPressed ? static_cast<HeldModifiers>(device | bit)
                                                     : static_cast<HeldModifiers>(device & ~bit);
        if (next == device) {
            return std::nullopt;
        }
        apply(device, next);
        return TCATapEvent{TCATapEventType::flagsChanged, virtualKey, flags(), false};
    }

    const auto type = value == kReleased ? TCATapEventType::keyUp : TCATapEventType::keyDown;
    return TCATapEvent{type, virtualKey, flags(), value == kRepeated};
}

void EvdevKeyTranslator::resync(HeldModifiers& device, const std::bitset<KEY_CNT>& held) noexcept {
    HeldModifiers next = 0;
    for (std::size_t i = 0; i < kModifierKeys.size(); ++i) {
        if (held[kModifierKeys[i].evdev]) {
            next = static_cast<HeldModifiers>(next | (1u << i));
        }
    }
    apply(device, next);
}

void EvdevKeyTranslator::forget(HeldModifiers& device) noexcept {
    apply(device, 0);
}

void EvdevKeyTranslator::apply(HeldModifiers& device, HeldModifiers next) noexcept {
    for (std::size_t i = 0; i < kModifierKeys.size(); ++i) {
        const bool was = (device >> i) & 1u;
        const bool is = (next >> i) & 1u;
        if (is && !was) {
            ++_holders[i];
        } else if (was && !is && _holders[i] > 0) {
            --_holders[i];
        }
    }
    device = next;
}

std::uint32_t EvdevKeyTranslator::flags() const noexcept {
    std::uint32_t flags = _capsLock ? kFlagCapsLock : 0;
    for (std::size_t i = 0; i < kModifierKeys.size(); ++i) {
        if (_holders[i] > 0) {
            flags |= kModifierKeys[i].flag;
        }
    }
    return flags;
}

} // namespace clavio::platform
