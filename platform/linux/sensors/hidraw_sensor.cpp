// hidraw accelerometers, and the polling loop every sensor stream shares.
#include <unistd.h>

#include <cerrno>

#include "engine/ports/clock.h"
#include "platform/linux/sensors/sensor_sources.h"

namespace clavio::platform {

bool PollingReportStream::runSlice(double seconds, SensorReportCallback callback, void* context) {
    pollfd fds[2] = {{_wake.fd(), POLLIN, 0}, {_fd.get(), POLLIN, 0}};
    const int ready = pollFor(fds, 2, seconds);
    if (ready < 0) {
        return false;
    }
    if (fds[0].revents != 0) {
        _wake.drain();
        return true;
    }
    if (fds[1].revents & POLLNVAL) {
        return false;
    }
    // POLLHUP / POLLERR without data: the read below sees the end.
    if (fds[1].revents != 0) {
        return readReports(callback, context);
    }
    return true;
}

namespace {

constexpr int kMaxReadsPerSlice = 64;

// One read() of a hidraw node is one report, of whatever length it has.
class HidrawStream final : public PollingReportStream {
public:
    using PollingReportStream::PollingReportStream;

protected:
    bool readReports(SensorReportCallback callback, void* context) override {
        for (int i = 0; i < kMaxReadsPerSlice; ++i) {
            const ssize_t n = ::read(fd(), _reportBuf, sizeof _reportBuf);
            if (n > 0) {
                callback(context, _reportBuf, static_cast<std::size_t>(n), hostTicks());
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return true;
    }

private:
    std::uint8_t _reportBuf[4096];
};

class HidrawDevice final : public SensorDevice {
public:
    explicit HidrawDevice(std::filesystem::path node) : _node(std::move(node)) {}

    std::unique_ptr<SensorReportStream> open() override {
        UniqueFd fd = openDeviceNode(_node.c_str());
        if (!fd) {
            return nullptr;
        }
        return std::make_unique<HidrawStream>(std::move(fd));
    }

private:
    std::filesystem::path _node;
};

} // namespace

std::unique_ptr<SensorDevice> createHidrawDevice(const std::filesystem::path& node) {
    std::error_code ec;
    if (!std::filesystem::exists(node, ec)) {
        return nullptr;
    }
    return std::make_unique<HidrawDevice>(node);
}

} // namespace clavio::platform
