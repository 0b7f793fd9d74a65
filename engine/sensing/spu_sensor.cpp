#include "engine/sensing/spu_sensor.h"

namespace clavio {

SensorStatus sensorStatusFromNative(std::int64_t status) noexcept {
    return sensorStatusFromRaw(status).value_or(SensorStatus::error);
}

std::shared_ptr<SPUSensor> SPUSensor::create(std::shared_ptr<SensorRegistry> registry,
                                             double sliceSeconds) {
    return std::make_shared<SPUSensor>(Passkey{}, std::move(registry), sliceSeconds);
}

SPUSensor::SPUSensor(Passkey, std::shared_ptr<SensorRegistry> registry, double sliceSeconds)
    : _ringBuffer(std::make_unique<TCARingBuffer>()) {
    tca_ring_init(_ringBuffer.get());
    _native = std::make_unique<TCASPUSensor>(_ringBuffer.get(), std::move(registry), sliceSeconds);
}

SPUSensor::~SPUSensor() {
    _native->stop();
    _ringBuffer.reset();
    _native.reset();
}

bool SPUSensor::isAvailable(SensorRegistry& registry) {
    return TCASPUSensor::isHardwareAvailable(registry);
}

std::optional<SensorProperties> SPUSensor::deviceInfo(SensorRegistry& registry) {
    return TCASPUSensor::deviceInfo(registry);
}

SensorStatus SPUSensor::status() const noexcept {
    return sensorStatusFromNative(_native->status());
}

std::uint64_t SPUSensor::totalSamples() const noexcept {
    return tca_ring_total(_ringBuffer.get());
}

std::optional<TCAMotionSample> SPUSensor::latestSample() const noexcept {
    TCAMotionSample sample;
    if (!tca_ring_latest(_ringBuffer.get(), &sample)) {
        return std::nullopt;
    }
    return sample;
}

void SPUSensor::setOnStatusChange(StatusHandler handler) {
    _onStatusChange.set(std::move(handler));
    _native->setStatusCallback([weak = weak_from_this()](std::int64_t status) {
        if (const auto self = weak.lock()) {
            self->_onStatusChange.call(sensorStatusFromNative(status));
        }
    });
}

} // namespace clavio
