// Port: a source of global keyboard events (the platform's event tap).
// Linux implements it with evdev (platform/linux/input/evdev_key_source.cpp); a
// trace replay can implement it too.
//
// Threading contract:
// - KeySource::hasAccess / requestAccess: any non-real-time thread.
// - createTap and every KeyEventTap call except interrupt(): the capture
//   thread that owns the tap.
// - KeyEventTap::interrupt: any thread, while the tap exists (the capture
//   guards the tap pointer with a lock shared with its stop()).
#pragma once

#include <cstddef>
#include <memory>

#include "engine/ports/key_events.h"

namespace clavio {

// Called by a tap for each event, in event order, on the capture thread.
using TapEventCallback = void (*)(void* context, const TCATapEvent& event) noexcept;

class KeyEventTap {
public:
    virtual ~KeyEventTap() = default;

    // Capture thread. Waits up to `seconds` for events and passes each to
    // `callback`. Returns early after interrupt() (a pending interrupt makes
    // the next slice return at once). False when the tap can deliver nothing
    // more, ever; the capture then ends its thread.
    virtual bool runSlice(double seconds, TapEventCallback callback, void* context) = 0;

    // Any thread. Makes the running (or the next) slice return at once.
    virtual void interrupt() noexcept = 0;
    // Capture thread. How many keyboards the tap listens to; 0 when it
    // cannot tell (a replayed trace).
    virtual std::size_t keyboardCount() const { return 0; }
};

class KeySource {
public:
    virtual ~KeySource() = default;

    // Whether a tap could observe the keyboard now (no prompt, no side effect).
    virtual bool hasAccess() = 0;

    // Tells the user how to grant access; the answer is not awaited.
    virtual void requestAccess() = 0;

    // Capture thread. A listen-only tap over key down, key up and modifier
    // changes, or null when none can be created (no access, no keyboard).
    virtual std::unique_ptr<KeyEventTap> createTap() = 0;
};

} // namespace clavio
