// evdev accelerometers (INPUT_PROP_ACCELEROMETER): absolute X, Y and Z in
// units per g, one report per SYN_REPORT frame.
#include "engine/sensing/accel_report.h"
#include "platform/linux/sensors/sensor_sources.h"
#include "platform/linux/system/evdev_record_reader.h"

namespace clavio::platform {

namespace {

constexpr double kEvdevBatchSeconds = 0.008;

class EvdevAccelStream final : public PollingReportStream {
public:
    EvdevAccelStream(UniqueFd fd, const EvdevCapabilities& caps)
        // The kernel keeps 64 events for a reader, 16 frames of an
        // accelerometer: half of that at 1 kHz leaves room.
        : PollingReportStream(std::move(fd), Batching::sleepAndDrain, kEvdevBatchSeconds) {
        for (int axis = 0; axis < 3; ++axis) {
            _value[axis] = caps.axes[axis]->value;
            _resolution[axis] = caps.axes[axis]->resolution;
        }
    }

protected:
    bool readReports(SensorReportCallback callback, void* context) override {
        const auto status = _reader.drain(fd(), [&](const input_event& e) {
            if (e.type == EV_SYN && e.code == SYN_DROPPED) {
                _dropping = true;
            } else if (e.type == EV_SYN && e.code == SYN_REPORT) {
                if (_dropping) {
                    _dropping = false;
                } else {
                    emit(callback, context);
                }
            } else if (e.type == EV_ABS && e.code <= ABS_Z && !_dropping) {
                _value[e.code] = e.value;
            }
        });
        return status == EvdevRecordReader::Status::drained;
    }

private:
    void emit(SensorReportCallback callback, void* context) noexcept {
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(double(_value[0]) / _resolution[0], double(_value[1]) / _resolution[1],
                          double(_value[2]) / _resolution[2], report);
        queueReport(report, sizeof report, callback, context);
    }

    EvdevRecordReader _reader;
    std::int32_t _value[3] = {};
    std::int32_t _resolution[3] = {1, 1, 1};
    bool _dropping = false;
};

class EvdevAccelDevice final : public SensorDevice {
public:
    EvdevAccelDevice(UniqueFd fd, EvdevCapabilities caps)
        : _fd(std::move(fd)), _caps(std::move(caps)) {}

    // The node was opened to learn its resolution; opening hands it over.
    std::unique_ptr<SensorReportStream> open() override {
        if (!_fd) {
            return nullptr;
        }
        return std::make_unique<EvdevAccelStream>(std::move(_fd), _caps);
    }

private:
    UniqueFd _fd;
    EvdevCapabilities _caps;
};

} // namespace

std::unique_ptr<SensorDevice> createEvdevAccelDevice(const std::filesystem::path& node,
                                                     std::shared_ptr<EvdevProbe> probe) {
    UniqueFd fd = openDeviceNode(node.c_str());
    if (!fd) {
        return nullptr;
    }
    auto caps = probe->capabilities(fd.get(), node);
    if (!caps || !isAccelerometer(*caps)) {
        return nullptr;
    }
    // Without a resolution the values cannot be turned into g.
    for (const auto& axis : caps->axes) {
        if (axis->resolution <= 0) {
            return nullptr;
        }
    }
    return std::make_unique<EvdevAccelDevice>(std::move(fd), std::move(*caps));
}

} // namespace clavio::platform
