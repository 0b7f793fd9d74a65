// Turns evdev key records into tap events: key downs (value 1, or 2 for an
// autorepeat) and key ups with the current modifier flags, and modifier keys
// into flags-changed events carrying the tracked modifier state (the way the
// event tap of the key-group table's platform reports them). Caps lock sends
// one flags-changed event per press, toggling its bit, and none on release.
//
// Modifier state is global across keyboards (shift on one keyboard and a
// letter on another is a capital), and each device keeps the set of modifier
// keys it holds so that a device that vanishes or resynchronises releases
// exactly its own keys.
//
// Threading: owned by the capture thread; no allocation.
#pragma once

#include <linux/input.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>

#include "engine/keyboard/key_tap.h"

namespace clavio::platform {

class EvdevKeyTranslator {
public:
    // Modifier keys held by one device, one bit per entry of the modifier list.
    using HeldModifiers = std::uint16_t;

    // One EV_KEY record of a device. Returns the tap event it makes, if any.
    std::optional<TCATapEvent> translate(HeldModifiers& device, std::uint16_t code,
                                         std::int32_t value) noexcept;

    // Replaces the device's held modifiers with those in `held` (its key state
    // after SYN_DROPPED). Emits nothing: events lost in the drop stay lost.
    void resync(HeldModifiers& device, const std::bitset<KEY_CNT>& held) noexcept;

    // The device is gone: its modifiers no longer count.
    void forget(HeldModifiers& device) noexcept;

    // The current modifier flags (caps lock, shift, control, option, command, fn).
    std::uint32_t flags() const noexcept;

private:
    void apply(HeldModifiers& device, HeldModifiers next) noexcept;

    static constexpr std::size_t kModifierCount = 9;
    std::array<std::uint16_t, kModifierCount> _holders{}; // devices holding each key
    bool _capsLock = false;
};

} // namespace clavio::platform
