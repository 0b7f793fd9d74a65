#include "engine/audio/latency_probe_output.h"

#include "engine/ports/clock.h"

namespace clavio {

namespace {
std::uint64_t ticksPerFrameQ32(double rate) {
    return rate > 0.0 && rate < 1e7 ? std::uint64_t(1e9 / rate * 4294967296.0) : 0;
}
} // namespace

AudioOutputStart LatencyProbeOutput::start(const AudioOutputRequest& request,
                                           AudioRenderFunction render, void* context) {
    _render = render;
    _context = context;
    _framesRendered = 0;
    _lastCycleTicks = 0;
    _lastCycleFrames = 0;
    _cycles.store(0, std::memory_order_relaxed);
    _late.store(0, std::memory_order_relaxed);
    _longestGap.store(0, std::memory_order_relaxed);
    _ticksPerFrameQ32.store(ticksPerFrameQ32(request.sampleRate), std::memory_order_relaxed);
    _started = _inner.start(request, &LatencyProbeOutput::render, this);
    if (_started.started && _started.sampleRate > 0.0) {
        _ticksPerFrameQ32.store(ticksPerFrameQ32(_started.sampleRate), std::memory_order_relaxed);
    }
    return _started;
}

void LatencyProbeOutput::stop() {
    _inner.stop();
}

void LatencyProbeOutput::notePress(std::uint64_t keyTicks) noexcept {
    const std::uint64_t id = _noted.load(std::memory_order_relaxed);
    if (id - _drained.load(std::memory_order_acquire) >= kCapacity) {
        _dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    _keyTicks[id % kCapacity] = keyTicks;
    _noted.store(id + 1, std::memory_order_release);
}

int LatencyProbeOutput::render(void* context, std::uint32_t frames, AudioBuffer* buffers,
                               std::uint32_t bufferCount) noexcept {
    auto* self = static_cast<LatencyProbeOutput*>(context);
    // Before the mixer reads any voice; see the header.
    const std::uint64_t noted = self->_noted.load(std::memory_order_acquire);
    const std::uint64_t rendered = self->_rendered.load(std::memory_order_relaxed);
    const std::uint64_t position = self->_framesRendered;
    self->_framesRendered += frames;
    const std::uint64_t now = hostTicks();
    if (self->_lastCycleTicks != 0) {
        const std::uint64_t gap = now - self->_lastCycleTicks;
        const std::uint64_t period =
            (self->_lastCycleFrames * self->_ticksPerFrameQ32.load(std::memory_order_relaxed)) >>
            32;
        if (period != 0 && gap > 2 * period) {
            self->_late.fetch_add(1, std::memory_order_relaxed);
        }
        if (gap > self->_longestGap.load(std::memory_order_relaxed)) {
            self->_longestGap.store(gap, std::memory_order_relaxed);
        }
    }
    self->_lastCycleTicks = now;
    self->_lastCycleFrames = frames;
    self->_cycles.fetch_add(1, std::memory_order_relaxed);
    if (noted != rendered) {
        for (std::uint64_t id = rendered; id != noted; ++id) {
            self->_frameTicks[id % kCapacity] = now;
            self->_frameIndex[id % kCapacity] = position;
        }
        self->_rendered.store(noted, std::memory_order_release);
    }
    return self->_render ? self->_render(self->_context, frames, buffers, bufferCount) : 0;
}

std::size_t LatencyProbeOutput::drain(std::vector<Measurement>& out) {
    const std::uint64_t from = _drained.load(std::memory_order_relaxed);
    const std::uint64_t to = _rendered.load(std::memory_order_acquire);
    for (std::uint64_t id = from; id != to; ++id) {
        const std::size_t slot = id % kCapacity;
        out.push_back({_keyTicks[slot], _frameTicks[slot], _frameIndex[slot]});
    }
    _drained.store(to, std::memory_order_release);
    return std::size_t(to - from);
}

} // namespace clavio
