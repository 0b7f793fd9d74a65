// The key tap's event logic: turns one observed keyboard event (key down, key
// up, modifier flags changed) into a TCAKeyEvent and hands it to the key-down
// or key-up handler. Live capture (any KeySource) and trace replay both call
// tca_key_tap_callback, so they share the masking, the modifier press/release
// rule and the caps-lock exception.
//
// Threading contract:
// - tca_key_tap_callback runs on one tap thread at a time (the keyboard
//   capture thread, or the replay driver while no capture runs). It takes no
//   lock, allocates nothing, logs nothing and reads the process clock at most
//   once.
// - _previousFlags is process-wide; only the tap callback touches it (and
//   tca_set_previous_flags, called by tests and replay before events flow).
// - Handlers are AtomicHandler slots: replaced from any thread, the change
//   takes effect for the following events.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "clavio/atomic_handler.h"

namespace clavio {

// The native record handed to the key handlers (no key group; the front adds it).
struct TCAKeyEvent {
    std::uint16_t keyCode = 0;
    std::uint32_t modifiers = 0;
    std::uint64_t timestamp = 0;
    bool isRepeat = false;

    friend bool operator==(const TCAKeyEvent&, const TCAKeyEvent&) = default;
};
static_assert(std::is_trivially_copyable_v<TCAKeyEvent>);

// Event types, numbered as the tap reports them.
enum class TCATapEventType : std::uint32_t {
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    // The platform disabled the tap; re-enabling is the tap's own business
    // (an evdev tap resynchronises after SYN_DROPPED), the logic ignores these.
    tapDisabledByTimeout = 0xFFFFFFFE,
    tapDisabledByUserInput = 0xFFFFFFFF,
};

// One observed event as a tap delivers it: raw (unmasked) modifier flags.
struct TCATapEvent {
    constexpr TCATapEvent() noexcept = default;
    // The time is optional, and stays so for brace initialisation by taps
    // that leave it out.
    constexpr TCATapEvent(TCATapEventType type_, std::uint16_t keyCode_, std::uint64_t flags_,
                          bool autorepeat_,
                          std::optional<std::uint64_t> timestamp_ = std::nullopt) noexcept
        : type(type_), keyCode(keyCode_), flags(flags_), autorepeat(autorepeat_),
          timestamp(timestamp_) {}

    TCATapEventType type = TCATapEventType::keyDown;
    std::uint16_t keyCode = 0;
    std::uint64_t flags = 0;
    bool autorepeat = false;
    // When the event happened, for a tap that knows it better than the clock
    // does when the callback runs: a trace replay stamps each key with its due
    // time, not the moment its thread woke up. None for live capture, whose
    // events are stamped with the host clock read inside the callback.
    std::optional<std::uint64_t> timestamp;
};
static_assert(std::is_trivially_copyable_v<TCATapEvent>);

inline constexpr std::uint16_t kVirtualKeyCapsLock = 57;

using TCAKeyHandler = AtomicHandler<void(TCAKeyEvent)>;

struct TCAKeyHandlers {
    TCAKeyHandler keyDown; // key downs and modifier presses
    TCAKeyHandler keyUp;   // key ups and modifier releases
};

// Tap thread. Chooses the handler and calls it synchronously with
// {key code, flags & 0xFF0000, event.timestamp or else hostTicks() read now,
// repeat}. Modifier
// changes are presses when a flag bit was added since the previous change,
// releases otherwise, except caps lock (code 57) with the caps-lock bit set,
// which is always a press.
void tca_key_tap_callback(const TCAKeyHandlers& handlers, const TCATapEvent& event) noexcept;

// Masked flags of the last modifier change, process-wide.
std::uint32_t tca_previous_flags() noexcept;
void tca_set_previous_flags(std::uint32_t flags) noexcept;

} // namespace clavio
