// The mute shortcut, stereo width and pack preview: the parts of the
// keystroke pipeline that follow settings the key threads read often.
//
// The shortcut is watched in the coordinator's own key handlers, so it works
// wherever the capture does (any desktop, X11 or Wayland) and while sound is
// off: the handlers keep running then, only playback is silenced. The
// watcher runs on the capture thread and allocates nothing; a completed
// chord queues a task on the classify queue (inline, no allocation; the
// queue's short lock, as for every key press), which posts the toggle to the
// main thread.
#include <algorithm>
#include <cmath>

#include "engine/core/log.h"
#include "engine/core/timebase.h"
#include "engine/pipeline/tocca_coordinator_impl.h"
#include "engine/ports/microphone.h"
#include "engine/pipeline/velocity_crossfader.h"

namespace clavio {

namespace {

constexpr std::uint64_t packChord(const KeyChord& chord) noexcept {
    return std::uint64_t(chord.keyCode) << 32 | chord.modifiers | (std::uint64_t(1) << 48);
}

// The preview phrase: velocities from soft to hard, one every 120 ms.
constexpr std::array<float, 4> kPreviewVelocities = {0.2f, 0.45f, 0.7f, 0.95f};
constexpr double kPreviewSpacingMs = 120.0;
// "alpha" keys around the home row, so the phrase sits near the centre.
constexpr std::array<std::uint16_t, 4> kPreviewKeys = {3, 38, 5, 4};

} // namespace

// ---- settings the key threads read (main thread) ----

void ToccaCoordinator::Impl::refreshKeySettings(std::optional<SettingsKey> key) {
    const auto affected = [&key](SettingsKey k) { return !key || *key == k; };
    if (affected(SettingsKey::toggleShortcut)) {
        refreshChord();
    }
    if (affected(SettingsKey::stereoWidth)) {
        float width = settings->stereoWidth();
        if (!(width >= 0.0f && width <= 1.0f)) {
            const float fallback = std::isnan(width) ? 0.0f : std::clamp(width, 0.0f, 1.0f);
            logLine("[Clavio] stereoWidth refused: it must be from 0 to 1; using " +
                    std::string(fallback > 0.0f ? "1" : "0"));
            width = fallback;
        }
        panWidth.store(width, std::memory_order_relaxed);
    }
    if (affected(SettingsKey::outputDevice) && services.devices.output) {
        services.devices.output->setPreferredDevice(settings->outputDevice());
        // A new choice is heard at once: the stream is reopened on it.
        if (key && audioEngine->isRunning()) {
            audioEngine->stop();
            audioEngine->start();
        }
    }
}

void ToccaCoordinator::Impl::refreshChord() {
    const std::string text = settings->toggleShortcut();
    std::uint64_t packed = 0;
    if (!text.empty()) {
        if (const auto parsed = parseKeyChord(text)) {
            packed = packChord(*parsed);
        } else {
            logLine("[Clavio] toggleShortcut \"" + text +
                    "\" refused: it must be modifiers and one key, such as Ctrl+Alt+M; the "
                    "shortcut is off");
        }
    }
    chord.store(packed, std::memory_order_relaxed);
    // The shortcut is how sound comes back on: the key handlers must run
    // even when sound was off from launch.
    if (packed != 0 && !isRunning && startPosted) {
        start();
    }
}

// ---- the chord watcher (capture thread) ----

void ToccaCoordinator::Impl::forgetHeldKeys() noexcept {
    heldCount = 0;
    swallowedKey.reset();
    silenceChordModifiers = false;
}

bool ToccaCoordinator::Impl::watchChord(const KeyEvent& event, bool down) noexcept {
    const std::uint64_t packed = chord.load(std::memory_order_relaxed);
    const std::uint32_t held = event.modifiers & chordModifierMask();
    if (event.keyGroup == KeyGroup::modifier) {
        // The modifiers held when the chord fired stay silent on release,
        // until all of them are up.
        if (!down && silenceChordModifiers) {
            silenceChordModifiers = held != 0;
            return true;
        }
        return false;
    }
    const auto first = heldKeys.begin();
    const auto last = first + std::ptrdiff_t(heldCount);
    if (!down) {
        if (swallowedKey == event.keyCode) {
            swallowedKey.reset();
            return true;
        }
        if (const auto it = std::find(first, last, event.keyCode); it != last) {
            *it = heldKeys[--heldCount];
        }
        return false;
    }
    if (event.isRepeat) {
        return swallowedKey == event.keyCode;
    }
    if (packed != 0 && std::uint16_t(packed >> 32) == event.keyCode &&
        std::uint32_t(packed) == held && heldCount == 0 && !swallowedKey) {
        swallowedKey = event.keyCode;
        silenceChordModifiers = true;
        // A refused task (queue full or shut down) loses this toggle; the
        // keyboard thread cannot wait.
        classifyQueue->submit([weak = weakSelf] {
            if (const auto self = weak.lock()) {
                self->_impl->mainQueue->post([weak] {
                    if (const auto owner = weak.lock()) {
                        owner->_impl->toggleSound();
                    }
                });
            }
        });
        return true;
    }
    if (std::find(first, last, event.keyCode) == last && heldCount < heldKeys.size()) {
        heldKeys[heldCount++] = event.keyCode;
    }
    return false;
}

// ---- toggle and preview (main thread) ----

bool ToccaCoordinator::Impl::toggleSound() {
    const bool enabled = !settings->soundEnabled();
    settings->setSoundEnabled(enabled);
    settings->save();
    sendEvent("sound_toggle", nlohmann::json{{"enabled", enabled}});
    if (enabled && !isRunning) {
        start();
    }
    return enabled;
}

void ToccaCoordinator::Impl::previewPack() {
    if (!settings->soundEnabled()) {
        return;
    }
    audioEngine->noteActivity();
    const std::uint64_t now = hostTicks();
    for (std::size_t i = 0; i < kPreviewVelocities.size(); ++i) {
        const std::uint64_t at = now + tca_ms_to_mach(kPreviewSpacingMs * double(i + 1));
        classifyQueue->submitAt(at, [weak = weakSelf, i] {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            Impl& d = *self->_impl;
            if (!d.settings->soundEnabled()) {
                return;
            }
            const float v = kPreviewVelocities[i];
            const std::uint16_t key = kPreviewKeys[i];
            const auto layers = VelocityCrossfader::layers(
                v, d.settings->mediumThreshold(), d.settings->hardThreshold(),
                d.settings->slamThreshold(), d.settings->crossfadeWidth());
            const auto maps = d.sampleMaps.read();
            for (const VelocityLayer& layer : layers) {
                auto it = maps->press.find(sampleKey(KeyGroup::alpha, layer.tier));
                if (it == maps->press.end() || it->second.empty()) {
                    continue;
                }
                const auto& list = it->second;
                const std::int32_t index =
                    list[d.services.random.index(std::uint32_t(list.size()))];
                d.audioEngine->play(index, (0.5f * v + 0.5f) * layer.gain,
                                    pitchForKey(key) + 0.08f * v + 0.96f, d.panFor(key));
            }
        });
    }
}

void ToccaCoordinator::previewPack() {
    _impl->previewPack();
}

std::vector<std::string> ToccaCoordinator::outputDeviceNames() const {
    AudioOutput* output = _impl->services.devices.output;
    return output ? output->deviceNames() : std::vector<std::string>{};
}

std::vector<std::string> ToccaCoordinator::microphoneDeviceNames() const {
    Microphone* microphone = _impl->services.devices.microphone;
    return microphone ? microphone->deviceNames() : std::vector<std::string>{};
}

bool ToccaCoordinator::toggleSound() {
    return _impl->toggleSound();
}

} // namespace clavio
