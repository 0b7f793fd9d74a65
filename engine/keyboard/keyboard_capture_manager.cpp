#include "engine/keyboard/keyboard_capture_manager.h"

#include "engine/keyboard/key_groups.h"

namespace clavio {

std::shared_ptr<KeyboardCaptureManager>
KeyboardCaptureManager::create(std::shared_ptr<KeySource> source, double sliceSeconds) {
    return std::make_shared<KeyboardCaptureManager>(Passkey{}, std::move(source), sliceSeconds);
}

KeyboardCaptureManager::KeyboardCaptureManager(Passkey, std::shared_ptr<KeySource> source,
                                               double sliceSeconds)
    : _native(std::make_unique<TCAKeyboardCapture>(std::move(source), sliceSeconds)) {}

bool KeyboardCaptureManager::hasPermission() const {
    return TCAKeyboardCapture::hasAccessibilityPermission(_native->source());
}

void KeyboardCaptureManager::requestPermission() const {
    TCAKeyboardCapture::requestAccessibilityPermission(_native->source());
}

TCAKeyHandler::Function KeyboardCaptureManager::_forwarder(
    std::weak_ptr<KeyboardCaptureManager> weak,
    AtomicHandler<void(const KeyEvent&)> KeyboardCaptureManager::*slot) {
    return [weak = std::move(weak), slot](TCAKeyEvent e) {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        const KeyEvent event{e.keyCode, e.modifiers, e.timestamp, e.isRepeat,
                             keyGroupForKeyCode(e.keyCode)};
        ((*self).*slot).call(event);
    };
}

void KeyboardCaptureManager::setOnKeyDown(Handler handler) {
    _onKeyDown.set(std::move(handler));
    _native->setKeyDownCallback(_forwarder(weak_from_this(), &KeyboardCaptureManager::_onKeyDown));
}

void KeyboardCaptureManager::setOnKeyUp(Handler handler) {
    _onKeyUp.set(std::move(handler));
    _native->setKeyUpCallback(_forwarder(weak_from_this(), &KeyboardCaptureManager::_onKeyUp));
}

} // namespace clavio
