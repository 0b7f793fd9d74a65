#include "engine/audio/tca_idle_control.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "engine/audio/tca_audio_engine.h"
#include "engine/core/log.h"

namespace clavio {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kMaxDelayMs = 24ll * 3600 * 1000;

std::chrono::milliseconds delayFromEnvironment() {
    const char* text = std::getenv("CLAVIO_AUDIO_IDLE_MS");
    if (!text || !*text) {
        return TCAIdleControl::kDefaultDelay;
    }
    long long ms = -1;
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, ms);
    if (error != std::errc() || stop != end || ms < 0 || ms > kMaxDelayMs) {
        return TCAIdleControl::kDefaultDelay;
    }
    return std::chrono::milliseconds(ms);
}

} // namespace

TCAIdleControl::TCAIdleControl(const TCAAudioEngine& engine, AudioOutput& output)
    : _engine(engine), _output(output), _delayMs(delayFromEnvironment().count()) {}

TCAIdleControl::~TCAIdleControl() {
    end();
}

void TCAIdleControl::configure(std::chrono::milliseconds delay) {
    _delayMs.store(std::max<long long>(delay.count(), 0), std::memory_order_relaxed);
}

void TCAIdleControl::begin() {
    if (_thread.joinable() || delay().count() == 0 || !_output.canSuspend()) {
        return;
    }
    _stopRequested.store(false);
    try {
        _thread = std::thread(&TCAIdleControl::run, this);
    } catch (const std::system_error&) {
        // No thread, no suspension: the stream simply keeps running.
    }
}

void TCAIdleControl::end() {
    if (!_thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(_mutex);
        _stopRequested.store(true);
    }
    _stop.notify_one();
    _activity.fetch_add(1);
    _activity.notify_one();
    _thread.join();
    _suspended.store(false, std::memory_order_release);
}

void TCAIdleControl::noteActivity() noexcept {
    _lastActivityNs.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    // Sequentially consistent, paired with run(): either this load sees the
    // output suspended and wakes the thread, or the thread, after it marked
    // the output suspended, sees this add and resumes without sleeping.
    _activity.fetch_add(1);
    if (_suspended.load()) {
        _activity.notify_one();
    }
}

void TCAIdleControl::run() {
    const Clock::duration delay = this->delay();
    // While a voice sounds past the spell (a long sample), look again after
    // a quarter delay rather than a whole one.
    const Clock::duration look = std::max<Clock::duration>(delay / 4, std::chrono::milliseconds(1));
    const auto lastActivity = [this] {
        return Clock::time_point(Clock::duration(_lastActivityNs.load(std::memory_order_relaxed)));
    };
    auto quietSince = std::max(Clock::now(), lastActivity());
    bool resumeFailed = false;
    while (!_stopRequested.load()) {
        const std::uint32_t seen = _activity.load();
        const auto now = Clock::now();
        quietSince = std::max(quietSince, lastActivity());
        if (_engine.busyVoiceCount() > 0) {
            quietSince = std::max(quietSince, now - delay + look);
        }
        if (now - quietSince < delay) {
            std::unique_lock lock(_mutex);
            _stop.wait_until(lock, quietSince + delay, [this] { return _stopRequested.load(); });
            continue;
        }
        if (!_output.suspend()) {
            quietSince = now;
            continue;
        }
        _suspended.store(true);
        // Asleep until noteActivity(), notePlay() or end() moves the count
        // past `seen` (at once if one already did since it was read).
        for (std::uint32_t current = seen; !_stopRequested.load();) {
            _activity.wait(current);
            current = _activity.load();
            if (_stopRequested.load()) {
                break;
            }
            const AudioOutputStart resumed = _output.resume();
            if (resumed.started) {
                _suspended.store(false, std::memory_order_release);
                resumeFailed = false;
                quietSince = Clock::now();
                break;
            }
            // Said once per failing spell; tried again at the next activity
            // rather than in a loop, which would hammer a missing device.
            if (!resumeFailed) {
                logLine("[Clavio:Audio] Audio output failed to start: " + resumed.error);
                resumeFailed = true;
            }
        }
    }
}

} // namespace clavio
