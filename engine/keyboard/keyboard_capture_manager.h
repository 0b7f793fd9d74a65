// The keyboard front used by the coordinator: owns the native capture,
// forwards the permission check and request, and turns native records into
// KeyEvent values (with their key group) for onKeyDown / onKeyUp.
// A facade: callers never reach the native capture through it.
//
// Threading contract:
// - start, stop, isRunning, hasPermission, requestPermission: the owner's
//   thread (main thread).
// - onKeyDown / onKeyUp are called on the capture thread, synchronously, in
//   event order; they must return quickly. They may be replaced from any
//   non-real-time thread; the native handlers hold the manager weakly.
// - Create with create(): the handlers need a weak reference to the manager.
#pragma once

#include <functional>
#include <memory>

#include "engine/core/core_types.h"
#include "engine/keyboard/tca_keyboard_capture.h"
#include "engine/runtime/atomic_handler.h"

namespace clavio {

class KeyboardCaptureManager : public std::enable_shared_from_this<KeyboardCaptureManager> {
public:
    using Handler = std::function<void(const KeyEvent&)>;

    static std::shared_ptr<KeyboardCaptureManager>
    create(std::shared_ptr<KeySource> source,
           double sliceSeconds = TCAKeyboardCapture::kSliceSeconds);

    bool hasPermission() const;
    void requestPermission() const;
    bool isRunning() const noexcept { return _native->isRunning(); }
    bool start() { return _native->start(); }
    void stop() { _native->stop(); }

    // The tap thread, or a replay driver while no capture runs. Hands one
    // observed event to the key logic exactly as the capture thread does.
    void deliverTapEvent(const TCATapEvent& event) noexcept { _native->handleTapEvent(event); }

    // Installs a fresh native handler (also for an empty handler, which then
    // ignores every event).
    void setOnKeyDown(Handler handler);
    void setOnKeyUp(Handler handler);
    Handler onKeyDown() const { return _onKeyDown.get(); }
    Handler onKeyUp() const { return _onKeyUp.get(); }

private:
    struct Passkey {};

public:
    KeyboardCaptureManager(Passkey, std::shared_ptr<KeySource> source, double sliceSeconds);

private:
    const std::unique_ptr<TCAKeyboardCapture> _native;

    static TCAKeyHandler::Function
    _forwarder(std::weak_ptr<KeyboardCaptureManager> weak,
               AtomicHandler<void(const KeyEvent&)> KeyboardCaptureManager::*slot);

    AtomicHandler<void(const KeyEvent&)> _onKeyDown;
    AtomicHandler<void(const KeyEvent&)> _onKeyUp;
};

} // namespace clavio
