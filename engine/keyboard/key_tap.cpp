#include "engine/keyboard/key_tap.h"

#include <atomic>

#include "engine/core/core_types.h"
#include "engine/ports/clock.h"

namespace clavio {

namespace {
// Relaxed is enough: one tap thread at a time reads and writes it; the atomic
// only keeps a replay driver and a later capture thread from racing formally.
std::atomic<std::uint32_t> _previousFlags{0};

void callHandler(const TCAKeyHandler& slot, const TCATapEvent& tapEvent, std::uint32_t masked,
                 bool isRepeat) noexcept {
    const auto* handler = slot.current();
    if (handler == nullptr) {
        return;
    }
    const std::uint64_t timestamp = tapEvent.timestamp ? *tapEvent.timestamp : hostTicks();
    const TCAKeyEvent event{tapEvent.keyCode, masked, timestamp, isRepeat};
    (*handler)(event);
}
} // namespace

void tca_key_tap_callback(const TCAKeyHandlers& handlers, const TCATapEvent& event) noexcept {
    const auto masked = static_cast<std::uint32_t>(event.flags & kModifierMask);
    switch (event.type) {
    case TCATapEventType::keyDown:
        callHandler(handlers.keyDown, event, masked, event.autorepeat);
        return;
    case TCATapEventType::keyUp:
        // A key-up is never a repeat, whatever the source put in the record.
        callHandler(handlers.keyUp, event, masked, false);
        return;
    case TCATapEventType::flagsChanged: {
        const std::uint32_t previous = _previousFlags.load(std::memory_order_relaxed);
        _previousFlags.store(masked, std::memory_order_relaxed);
        const bool capsLockPress =
            (event.flags & kFlagCapsLock) != 0 && event.keyCode == kVirtualKeyCapsLock;
        const bool press = masked > previous || capsLockPress;
        callHandler(press ? handlers.keyDown : handlers.keyUp, event, masked, false);
        return;
    }
    default:
        return;
    }
}

std::uint32_t tca_previous_flags() noexcept {
    return _previousFlags.load(std::memory_order_relaxed);
}

void tca_set_previous_flags(std::uint32_t flags) noexcept {
    _previousFlags.store(flags, std::memory_order_relaxed);
}

} // namespace clavio
