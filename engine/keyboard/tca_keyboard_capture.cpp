#include "engine/keyboard/tca_keyboard_capture.h"

#include <chrono>

#include "engine/core/log.h"
#include "engine/runtime/thread_naming.h"

namespace clavio {

namespace {
constexpr int kStartPolls = 200;
constexpr int kStopPolls = 300;
constexpr auto kPollInterval = std::chrono::milliseconds(10);
} // namespace

TCAKeyboardCapture::TCAKeyboardCapture(std::shared_ptr<KeySource> source, double sliceSeconds)
    : _shared(std::make_shared<Shared>()) {
    _shared->source = std::move(source);
    _shared->sliceSeconds = sliceSeconds;
}

TCAKeyboardCapture::~TCAKeyboardCapture() {
    stop();
}

bool TCAKeyboardCapture::hasAccessibilityPermission(KeySource& source) {
    return source.hasAccess();
}

void TCAKeyboardCapture::requestAccessibilityPermission(KeySource& source) {
    source.requestAccess();
}

bool TCAKeyboardCapture::start() {
    if (isRunning()) {
        return true;
    }
    if (_tapThread.joinable()) {
        return false;
    }
    auto run = std::make_shared<Run>();
    _run = run;
    _tapThread = std::thread(&TCAKeyboardCapture::_tapMain, _shared, run);

    for (int i = 0; i < kStartPolls; ++i) {
        if (run->isRunning.load(std::memory_order_acquire)) {
            return true;
        }
        if (run->finished.load(std::memory_order_acquire)) {
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (run->isRunning.load(std::memory_order_acquire)) {
        return true;
    }
    // The tap did not come up. A thread still creating its tap is told to end
    // as soon as it gets going, so it cannot deliver events for a capture that
    // reported failure.
    run->shouldStop.store(true, std::memory_order_release);
    _releaseThread(run->finished.load(std::memory_order_acquire));
    return false;
}

void TCAKeyboardCapture::stop() {
    if (!_tapThread.joinable()) {
        return;
    }
    auto run = _run;
    run->shouldStop.store(true, std::memory_order_release);
    {
        std::lock_guard lock(run->tapLock);
        if (run->tap != nullptr && run->isRunning.load(std::memory_order_acquire)) {
            run->tap->interrupt();
        }
    }
    if (std::this_thread::get_id() == _tapThread.get_id()) {
        // Called from a handler on the capture thread (its owner went away
        // there): the thread ends by itself once the handler returns.
        _releaseThread(false);
        return;
    }
    for (int i = 0; i < kStopPolls && !run->finished.load(std::memory_order_acquire); ++i) {
        std::this_thread::sleep_for(kPollInterval);
    }
    _releaseThread(run->finished.load(std::memory_order_acquire));
}

void TCAKeyboardCapture::_releaseThread(bool waitedToEnd) {
    if (waitedToEnd) {
        _tapThread.join();
    } else {
        _tapThread.detach();
    }
    _run.reset();
}

bool TCAKeyboardCapture::isRunning() const noexcept {
    return _run && _run->isRunning.load(std::memory_order_acquire);
}

void TCAKeyboardCapture::setKeyDownCallback(TCAKeyHandler::Function handler) {
    _shared->handlers.keyDown.set(std::move(handler));
}

void TCAKeyboardCapture::setKeyUpCallback(TCAKeyHandler::Function handler) {
    _shared->handlers.keyUp.set(std::move(handler));
}

void TCAKeyboardCapture::handleTapEvent(const TCATapEvent& event) noexcept {
    tca_key_tap_callback(_shared->handlers, event);
}

void TCAKeyboardCapture::_deliver(void* context, const TCATapEvent& event) noexcept {
    tca_key_tap_callback(static_cast<const Shared*>(context)->handlers, event);
}

void TCAKeyboardCapture::_tapMain(std::shared_ptr<Shared> shared, std::shared_ptr<Run> run) {
    nameCurrentThread(kKeyboardThreadLabel);
    if (run->shouldStop.load(std::memory_order_acquire)) {
        run->finished.store(true, std::memory_order_release);
        return;
    }
    std::unique_ptr<KeyEventTap> tap = shared->source->createTap();
    if (!tap) {
        logLine("[Clavio:Keyboard] Keyboard capture failed to start: no readable keyboard");
        run->finished.store(true, std::memory_order_release);
        return;
    }
    {
        std::lock_guard lock(run->tapLock);
        run->tap = tap.get();
    }
    run->isRunning.store(true, std::memory_order_release);
    const std::size_t keyboards = tap->keyboardCount();
    logLine(keyboards == 0
                ? std::string("[Clavio:Keyboard] Keyboard capture started")
                : "[Clavio:Keyboard] Keyboard capture started on " + std::to_string(keyboards) +
                      (keyboards == 1 ? " keyboard" : " keyboards"));

    while (!run->shouldStop.load(std::memory_order_acquire)) {
        if (!tap->runSlice(shared->sliceSeconds, &TCAKeyboardCapture::_deliver, shared.get())) {
            break;
        }
    }

    {
        std::lock_guard lock(run->tapLock);
        run->tap = nullptr;
    }
    tap.reset();
    run->isRunning.store(false, std::memory_order_release);
    run->finished.store(true, std::memory_order_release);
}

} // namespace clavio
