#include "engine/sensing/mic_strike_sensor.h"

namespace clavio {

ImpactConfig microphoneImpactConfig(const ImpactConfig& base, float hardCap) {
    ImpactConfig c = base;
    c.searchPreMs = 2.0; // a click follows its key event by 0 to 3 ms
    c.baselineAlpha = 0.05f;
    c.highpassEnabled = false; // the envelope is high-passed already
    c.deadzone = 0.004f;
    c.hardCap = hardCap;
    return c;
}

MicStrikeSensor::MicStrikeSensor()
    : _ring(std::make_unique<TCARingBuffer>()), _envelope(std::make_unique<TCAMicEnvelope>()) {
    tca_ring_init(_ring.get());
    tca_mic_envelope_init(_envelope.get(), _ring.get());
}

MicStrikeSensor::~MicStrikeSensor() {
    stop();
}

void MicStrikeSensor::onBlock(void* context, const float* samples, std::uint32_t count,
                              double sampleRate, std::uint64_t firstSampleTicks) noexcept {
    tca_mic_envelope_process(static_cast<TCAMicEnvelope*>(context), samples, count, sampleRate,
                             firstSampleTicks);
}

MicrophoneStart MicStrikeSensor::start(Microphone& microphone, std::string_view deviceName) {
    stop();
    // A new run starts a new filter; the ring's older values stay readable.
    TCARingBuffer* ring = _ring.get();
    tca_mic_envelope_init(_envelope.get(), ring);
    _checkedSamples = _checkedClipped = _checkedZeros = 0;
    MicrophoneStart started = microphone.start(deviceName, 0.005, &onBlock, _envelope.get());
    if (started.started) {
        _microphone = &microphone;
        _rate = started.sampleRate;
    }
    return started;
}

void MicStrikeSensor::stop() {
    if (_microphone != nullptr) {
        _microphone->stop();
        _microphone = nullptr;
    }
}

bool MicStrikeSensor::lost() const noexcept {
    return _microphone != nullptr && _microphone->lost();
}

std::uint64_t MicStrikeSensor::envelopeCount() const noexcept {
    return tca_ring_total(_ring.get());
}

MicStrikeSensor::Health MicStrikeSensor::health(double minSeconds) {
    const std::uint64_t samples = _envelope->samples.load(std::memory_order_relaxed);
    const std::uint64_t n = samples - _checkedSamples;
    // The rate the device reported at start: the envelope's own copy
    // belongs to the capture thread.
    const double rate = _rate;
    if (rate <= 0.0 || double(n) < minSeconds * rate) {
        return Health::pending;
    }
    const std::uint64_t clipped = _envelope->clipped.load(std::memory_order_relaxed);
    const std::uint64_t zeros = _envelope->zeros.load(std::memory_order_relaxed);
    const std::uint64_t newClipped = clipped - _checkedClipped;
    const std::uint64_t newZeros = zeros - _checkedZeros;
    _checkedSamples = samples;
    _checkedClipped = clipped;
    _checkedZeros = zeros;
    // The three counters are read one by one while blocks arrive, so the
    // zeros may run a block ahead of or behind the samples; a surplus from
    // the last check is counted in this one.
    if (newZeros >= n) {
        return Health::silent;
    }
    return newClipped * 20 > n ? Health::clipping : Health::ok;
}

} // namespace clavio
