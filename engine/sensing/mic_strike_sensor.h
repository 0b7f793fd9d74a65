// Strike sensing from a microphone: owns the envelope ring the classifier
// reads and the capture state that fills it, over the Microphone port.
//
// Threading contract: start(), stop(), health() and lost() on the control
// (main) thread; the block callback runs on the device's capture thread and
// only runs tca_mic_envelope_process (no lock, no allocation, no log). The
// ring is read lock-free from any thread (the classify queue).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/ports/microphone.h"
#include "engine/sensing/impact_config.h"
#include "engine/sensing/mic_envelope.h"
#include "engine/sensing/ring_buffer.h"

namespace clavio {

// The classifier's settings for the envelope's scale: peaks of the
// high-passed signal in full-scale units, where a room's noise floor sits
// near 0.002 and a key struck a few centimetres away reaches 0.02 to 0.5.
// Timing and thresholds come from `base` (the user's settings); the deadzone
// and the baseline's pace are the microphone's own, and `hardCap` (the
// microphoneHardCap setting) is the score that maps to full velocity.
ImpactConfig microphoneImpactConfig(const ImpactConfig& base, float hardCap);

class MicStrikeSensor {
public:
    enum class Health { ok, silent, clipping, pending };

    MicStrikeSensor();
    ~MicStrikeSensor();
    MicStrikeSensor(const MicStrikeSensor&) = delete;
    MicStrikeSensor& operator=(const MicStrikeSensor&) = delete;

    // Opens `deviceName` (empty: the default source) on `microphone` in
    // blocks of about 5 ms. The ring keeps what it holds across runs.
    MicrophoneStart start(Microphone& microphone, std::string_view deviceName);
    void stop();
    bool running() const noexcept { return _microphone != nullptr; }
    // The started device has gone away.
    bool lost() const noexcept;

    // Since the last call: `silent` when every sample of at least
    // `minSeconds` of capture was exactly 0, `clipping` when more than 5 % of
    // them were at full scale; `ok` otherwise; `pending` while too little
    // came (the counts carry over to the next call).
    Health health(double minSeconds);

    const TCARingBuffer* ringBuffer() const noexcept { return _ring.get(); }
    std::uint64_t envelopeCount() const noexcept;

private:
    static void onBlock(void* context, const float* samples, std::uint32_t count, double sampleRate,
                        std::uint64_t firstSampleTicks) noexcept;

    std::unique_ptr<TCARingBuffer> _ring;
    std::unique_ptr<TCAMicEnvelope> _envelope;
    Microphone* _microphone = nullptr;
    double _rate = 0.0;
    std::uint64_t _checkedSamples = 0;
    std::uint64_t _checkedClipped = 0;
    std::uint64_t _checkedZeros = 0;
};

} // namespace clavio
