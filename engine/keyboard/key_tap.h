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

#include "engine/ports/key_events.h"
#include "engine/runtime/atomic_handler.h"

namespace clavio {

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
