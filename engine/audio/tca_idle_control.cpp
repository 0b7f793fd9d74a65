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

void TCAIdleControl::configure(std::chrono::milliseconds delay,
                               std::chrono::milliseconds wakePoll) {
    _delayMs.store(std::max<long long>(delay.count(), 0), std::memory_order_relaxed);
    _wakePollMs.store(std::max<long long>(wakePoll.count(), 1), std::memory_order_relaxed);
}

void TCAIdleControl::begin() {
    if (_thread.joinable() || delay().count() == 0 || !_output.canSuspend()) {
        return;
    }
    _stopRequested = false;
    _wakeRequested = false;
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
        _stopRequested = true;
    }
    _wake.notify_one();
    _thread.join();
    _suspended.store(false, std::memory_order_release);
}

void TCAIdleControl::notePlay() {
    _activity.fetch_add(1, std::memory_order_relaxed);
    if (_suspended.load(std::memory_order_acquire)) {
        {
            std::lock_guard lock(_mutex);
            _wakeRequested = true;
        }
        _wake.notify_one();
    }
}

void TCAIdleControl::run() {
    const std::chrono::milliseconds delay = this->delay();
    const std::chrono::milliseconds wakePoll(_wakePollMs.load(std::memory_order_relaxed));
    const std::chrono::milliseconds look = std::max(delay / 4, std::chrono::milliseconds(1));
    std::unique_lock lock(_mutex);
    const auto woken = [this] { return _stopRequested || _wakeRequested; };
    std::uint64_t seen = _activity.load(std::memory_order_relaxed);
    auto quietSince = Clock::now();
    bool resumeFailed = false;
    while (!_stopRequested) {
        const std::uint64_t activity = _activity.load(std::memory_order_relaxed);
        const bool fresh = activity != seen || std::exchange(_wakeRequested, false);
        seen = activity;

        if (_suspended.load(std::memory_order_relaxed)) {
            if (fresh) {
                lock.unlock();
                const AudioOutputStart resumed = _output.resume();
                lock.lock();
                if (resumed.started) {
                    _suspended.store(false, std::memory_order_release);
                    resumeFailed = false;
                    quietSince = Clock::now();
                    continue;
                }
                // Said once per failing spell; tried again at the next
                // activity rather than every look, which would hammer a
                // missing device.
                if (!resumeFailed) {
                    logLine("[Clavio:Audio] Audio output failed to start: " + resumed.error);
                    resumeFailed = true;
                }
            }
            _wake.wait_for(lock, wakePoll, woken);
            continue;
        }

        // Running: nothing wakes this thread on activity, so it looks a few
        // times per delay; the spell is measured from the last look that saw
        // activity or a sounding voice (at most a quarter delay late).
        const auto now = Clock::now();
        if (fresh || _engine.busyVoiceCount() > 0) {
            quietSince = now;
        }
        if (now - quietSince >= delay) {
            lock.unlock();
            const bool suspended = _output.suspend();
            lock.lock();
            if (suspended) {
                _suspended.store(true, std::memory_order_release);
            } else {
                quietSince = now;
            }
            continue; // a sound started meanwhile shows as fresh activity
        }
        _wake.wait_until(lock, std::min(quietSince + delay, now + look), woken);
    }
}

} // namespace clavio
