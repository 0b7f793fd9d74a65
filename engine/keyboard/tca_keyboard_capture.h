// The native keyboard capture: one thread named "com.nomari.clavio.keyboard-capture"
// owns a listen-only tap from a KeySource, runs it in 0.5 s slices and turns
// each event into a TCAKeyEvent for the key-down or key-up handler
// (tca_key_tap_callback).
//
// Threading contract:
// - start, stop, isRunning and the destructor: the owner's thread (the
//   coordinator's main thread). Not safe to call concurrently with each other.
// - The capture thread calls the handlers synchronously, one event at a time,
//   in event order.
// - Handlers may be replaced from any non-real-time thread at any time.
// - Per-run state (stop request, running flag, the tap pointer) is shared
//   with the thread through a reference-counted record, so a thread that
//   stop() had to give up on (no end within about 3 s, or stop called from a
//   handler on the capture thread itself) keeps valid state, sees the stop
//   request and ends on its own.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/keyboard/key_tap.h"
#include "engine/ports/key_source.h"

namespace clavio {

class TCAKeyboardCapture {
public:
    static constexpr double kSliceSeconds = 0.5;

    // `sliceSeconds` is the longest wait between two looks at the stop
    // request; tests lengthen it to prove stop wakes the tap at once.
    explicit TCAKeyboardCapture(std::shared_ptr<KeySource> source,
                                double sliceSeconds = kSliceSeconds);
    ~TCAKeyboardCapture();
    TCAKeyboardCapture(const TCAKeyboardCapture&) = delete;
    TCAKeyboardCapture& operator=(const TCAKeyboardCapture&) = delete;

    static bool hasAccessibilityPermission(KeySource& source);
    static void requestAccessibilityPermission(KeySource& source);

    // Starts the capture thread and waits (at most about 2 s) for its tap.
    // True when the tap runs (also when it already ran); false when the tap
    // could not be created or an earlier thread is still registered.
    bool start();
    // Stops the capture thread and waits for it (at most about 3 s).
    void stop();
    bool isRunning() const noexcept;

    TCAKeyHandler::Function keyDownCallback() const { return _shared->handlers.keyDown.get(); }
    void setKeyDownCallback(TCAKeyHandler::Function handler);
    TCAKeyHandler::Function keyUpCallback() const { return _shared->handlers.keyUp.get(); }
    void setKeyUpCallback(TCAKeyHandler::Function handler);

    // Runs one event through the tap logic with this capture's handlers, on
    // the caller's thread. Trace replay uses it while no capture thread runs.
    void handleTapEvent(const TCATapEvent& event) noexcept;

    KeySource& source() const noexcept { return *_shared->source; }

private:
    // Lives as long as the capture or its thread, whichever is longer.
    struct Shared {
        std::shared_ptr<KeySource> source;
        double sliceSeconds = kSliceSeconds;
        TCAKeyHandlers handlers;
    };
    // One per start().
    struct Run {
        std::atomic<bool> shouldStop{false};
        std::atomic<bool> isRunning{false};
        std::atomic<bool> finished{false};
        std::mutex tapLock;
        KeyEventTap* tap = nullptr; // guarded by tapLock; set while the tap exists
    };

    static void _tapMain(std::shared_ptr<Shared> shared, std::shared_ptr<Run> run);
    static void _deliver(void* context, const TCATapEvent& event) noexcept;
    void _releaseThread(bool waitedToEnd);

    std::shared_ptr<Shared> _shared;
    std::shared_ptr<Run> _run;
    std::thread _tapThread;
};

} // namespace clavio
