#include "engine/sensing/own_sound_canceller.h"

#include <algorithm>
#include <cmath>

#include "engine/core/timebase.h"

namespace clavio {

OwnSoundCanceller::OwnSoundCanceller(const TCARingBuffer* mic, const TCARingBuffer* own)
    : _mic(mic), _own(own), _corrected(std::make_unique<TCARingBuffer>()),
      _msTicks(tca_ms_to_mach(1.0)) {
    tca_ring_init(_corrected.get());
}

void OwnSoundCanceller::noteKey(std::uint64_t ticks) noexcept {
    _keys[_nextKey] = ticks;
    _nextKey = (_nextKey + 1) % _keys.size();
}

void OwnSoundCanceller::loadOwn(std::uint64_t from, std::size_t count) noexcept {
    std::fill_n(_ownDense.begin(), count, 0.0f);
    const std::uint32_t n = tca_ring_query_window(_own, from, 0, (count - 1) * _msTicks,
                                                  _window.data(), std::uint32_t(_window.size()));
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t at = (_window[i].timestamp - from) / _msTicks;
        if (at < count) {
            _ownDense[at] = _window[i].magnitude;
        }
    }
}

bool OwnSoundCanceller::learn(std::uint64_t now, int settleMs) noexcept {
    constexpr std::size_t kW = kLearnWindowMs;
    const std::uint64_t settle = std::uint64_t(settleMs) * _msTicks;
    const std::uint64_t span = (kW + kMaxDelayMs) * _msTicks;
    if (now < settle + span) {
        return false;
    }
    const std::uint64_t end = (now - settle) / _msTicks * _msTicks;
    const std::uint64_t start = end - (kW - 1) * _msTicks;
    // Microphone envelope of the window, dense by millisecond; a gap is not
    // learnt from.
    const std::uint32_t n = tca_ring_query_window(_mic, start, 0, end - start, _window.data(),
                                                  std::uint32_t(_window.size()));
    std::fill_n(_micDense.begin(), kW, -1.0f);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t at = (_window[i].timestamp - start) / _msTicks;
        if (at < kW) {
            _micDense[at] = _window[i].magnitude;
        }
    }
    // A key's click (and its bounce) must not be taken for the mixer: the
    // milliseconds around each key are left out.
    for (const std::uint64_t key : _keys) {
        if (key == 0 || key + 20 * _msTicks < start || key > end + 3 * _msTicks) {
            continue;
        }
        const std::uint64_t from = key > start + 3 * _msTicks ? key - 3 * _msTicks : start;
        for (std::uint64_t t = from; t <= std::min(end, key + 20 * _msTicks); t += _msTicks) {
            _micDense[(t - start) / _msTicks] = -1.0f;
        }
    }
    loadOwn(start - kMaxDelayMs * _msTicks, kW + kMaxDelayMs);
    // _ownDense[kMaxDelayMs + i - d] is the own envelope d ms before mic[i].
    double bestExplained = 0.0;
    double bestGain = 0.0;
    int bestDelay = -1;
    for (int d = 0; d <= kMaxDelayMs; ++d) {
        double sm = 0, so = 0, smo = 0, soo = 0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < kW; ++i) {
            const float m = _micDense[i];
            if (m < 0.0f) {
                continue;
            }
            const double o = _ownDense[kMaxDelayMs + i - std::size_t(d)];
            sm += m;
            so += o;
            smo += m * o;
            soo += o * o;
            ++count;
        }
        if (count < kW / 2) {
            return false;
        }
        const double c = double(count);
        const double cov = smo - sm * so / c;
        const double var = soo - so * so / c;
        // The mixer must have played something that moves in this window.
        if (var < 1e-8 * c) {
            continue;
        }
        const double explained = cov > 0.0 ? cov * cov / var : 0.0;
        if (bestDelay < 0 || explained > bestExplained) {
            bestExplained = explained;
            bestGain = std::max(0.0, cov / var);
            bestDelay = d;
        }
    }
    if (bestDelay < 0) {
        return false;
    }
    if (!_learnt) {
        _gain = float(bestGain);
        _learnt = true;
    } else {
        _gain += 0.3f * (float(bestGain) - _gain);
    }
    if (bestExplained > 0.0) {
        _delayMs = bestDelay;
    }
    return true;
}

void OwnSoundCanceller::update(std::uint64_t now) noexcept {
    if (_copiedUpTo == 0) {
        const std::uint64_t back = 2000 * _msTicks;
        _copiedUpTo = now > back ? now - back : 0;
    }
    const std::uint64_t delay = std::uint64_t(_delayMs) * _msTicks;
    constexpr std::uint32_t kBatch = 256;
    while (_copiedUpTo < now) {
        const std::uint64_t from = _copiedUpTo + 1;
        const std::uint32_t n =
            tca_ring_query_window(_mic, from, 0, now - from, _window.data(), kBatch);
        if (n == 0) {
            break;
        }
        const std::uint64_t first = _window[0].timestamp;
        const std::uint64_t last = _window[n - 1].timestamp;
        // Keep the batch: loadOwn reuses _window.
        std::array<float, kBatch> mags{};
        std::array<std::uint64_t, kBatch> stamps{};
        for (std::uint32_t i = 0; i < n; ++i) {
            mags[i] = _window[i].magnitude;
            stamps[i] = _window[i].timestamp;
        }
        const bool subtract = _gain > 0.0f && first >= delay;
        const std::size_t span =
            std::min<std::size_t>((last - first) / _msTicks + 1, _ownDense.size());
        if (subtract) {
            loadOwn(first - delay, span);
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            float value = mags[i];
            const std::uint64_t at = (stamps[i] - first) / _msTicks;
            if (subtract && at < span) {
                value = std::max(0.0f, value - _gain * _ownDense[at]);
            }
            tca_ring_write(_corrected.get(), stamps[i], value, 0.0f, 0.0f);
        }
        _copiedUpTo = last;
        if (n < kBatch) {
            break;
        }
    }
}

} // namespace clavio
