#include "engine/replay/replay_delivery.h"

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"

namespace clavio {

TCATapEvent tapEventFromTraceKey(const TraceKey& key, std::uint64_t timestamp) noexcept {
    switch (key.kind) {
    case TraceKeyKind::down:
        return {TCATapEventType::keyDown, key.code, key.flags, key.repeat, timestamp};
    case TraceKeyKind::up:
        return {TCATapEventType::keyUp, key.code, key.flags, false, timestamp};
    case TraceKeyKind::flags:
        break;
    }
    return {TCATapEventType::flagsChanged, key.code, key.flags, false, timestamp};
}

std::optional<TraceKey> traceKeyFromTapEvent(const TCATapEvent& event) noexcept {
    // Flags above bit 31 carry nothing the event logic keeps (it masks with
    // 0xFF0000) and the trace stores 32 bits.
    const auto flags = static_cast<std::uint32_t>(event.flags);
    switch (event.type) {
    case TCATapEventType::keyDown:
        return TraceKey{TraceKeyKind::down, event.keyCode, flags, event.autorepeat};
    case TCATapEventType::keyUp:
        return TraceKey{TraceKeyKind::up, event.keyCode, flags, false};
    case TCATapEventType::flagsChanged:
        return TraceKey{TraceKeyKind::flags, event.keyCode, flags, false};
    default:
        return std::nullopt;
    }
}

void connectReplaySinks(ReplaySource& source, KeyboardCaptureManager& keyboard, SPUSensor& sensor) {
    source.setKeySink([&keyboard](const TraceKey& key, std::uint64_t timestamp) {
        keyboard.deliverTapEvent(tapEventFromTraceKey(key, timestamp));
    });
    TCARingBuffer* ring = sensor.ringBuffer();
    source.setAccelSink(
        [ring](const std::uint8_t* report, std::size_t length, std::uint64_t timestamp) {
            _hidReportCallback(ring, report, length, timestamp);
        });
}

} // namespace clavio
