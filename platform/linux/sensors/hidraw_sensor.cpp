// hidraw accelerometers, and the polling loop every sensor stream shares.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/ports/clock.h"
#include "platform/linux/sensors/sensor_sources.h"

namespace clavio::platform {

namespace {

std::uint64_t secondsToTicks(double seconds) noexcept {
    return seconds <= 0 ? 0 : static_cast<std::uint64_t>(seconds * 1e9);
}

// While hurried, a kernel-batched device is read this often: its own wake-up
// comes only at the watermark.
constexpr double kHurriedLookSeconds = 0.001;
// Weight of one read's interval in the running estimate.
constexpr double kIntervalWeight = 0.1;

} // namespace

void restampBatch(std::uint64_t now, std::uint64_t after, double intervalTicks, std::size_t count,
                  std::uint64_t* out) noexcept {
    if (count == 0) {
        return;
    }
    if (now <= after) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = after;
        }
        return;
    }
    const double span = intervalTicks * double(count - 1);
    if (intervalTicks > 0 && span < double(now - after - 1)) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = now - static_cast<std::uint64_t>(intervalTicks * double(count - 1 - i));
        }
        return;
    }
    const double step = double(now - after) / double(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = i + 1 == count
                     ? now
                     : after + std::max<std::uint64_t>(1, std::uint64_t(step * double(i + 1)));
    }
}

PollingReportStream::PollingReportStream(UniqueFd fd, Batching batching, double batchSeconds)
    : _fd(std::move(fd)), _batching(batching), _batchTicks(secondsToTicks(batchSeconds)),
      _lastRead(hostTicks()) {}

void PollingReportStream::interrupt() noexcept {
    _interruptPending.store(true, std::memory_order_release);
    _wake.signal();
}

void PollingReportStream::hurry(double holdSeconds) noexcept {
    const std::uint64_t hold = secondsToTicks(holdSeconds);
    std::uint64_t current = _hurryHoldTicks.load(std::memory_order_relaxed);
    while (current < hold &&
           !_hurryHoldTicks.compare_exchange_weak(current, hold, std::memory_order_relaxed)) {
    }
    _hurryPending.store(true, std::memory_order_release);
    _wake.signal();
}

bool PollingReportStream::takeWake() noexcept {
    _wake.drain();
    const bool stopping = _interruptPending.exchange(false, std::memory_order_acq_rel);
    if (!_hurryPending.exchange(false, std::memory_order_acq_rel)) {
        return false;
    }
    const std::uint64_t hold = _hurryHoldTicks.exchange(0, std::memory_order_relaxed);
    _hurriedUntil = std::max(_hurriedUntil, hostTicks() + hold);
    // An interrupt ends the slice first; the hold still applies to the next.
    return !stopping;
}

bool PollingReportStream::runSlice(double seconds, SensorReportCallback callback, void* context) {
    const bool hurried = hostTicks() < _hurriedUntil;
    const bool batched = _batching != Batching::none && !hurried;
    if (batched && _batching == Batching::sleepAndDrain && _flowing) {
        // Reports are flowing: sleep out the batch (or the slice), then read
        // everything that queued meanwhile.
        pollfd wake = {_wake.fd(), POLLIN, 0};
        if (pollFor(&wake, 1, std::min(seconds, double(_batchTicks) / 1e9)) < 0) {
            return false;
        }
        if (wake.revents != 0 && !takeWake()) {
            return true;
        }
        return drain(callback, context);
    }
    const bool looking = hurried && _batching == Batching::kernel;
    pollfd fds[2] = {{_wake.fd(), POLLIN, 0}, {_fd.get(), POLLIN, 0}};
    const int ready = pollFor(fds, 2, looking ? std::min(seconds, kHurriedLookSeconds) : seconds);
    if (ready < 0) {
        return false;
    }
    if (fds[0].revents != 0) {
        return takeWake() ? drain(callback, context) : true;
    }
    if (fds[1].revents & POLLNVAL) {
        return false;
    }
    // POLLHUP / POLLERR without data: the read below sees the end.
    if (fds[1].revents != 0 || looking) {
        return drain(callback, context);
    }
    return true;
}

bool PollingReportStream::drain(SensorReportCallback callback, void* context) noexcept {
    _delivered = 0;
    const bool alive = readReports(callback, context);
    const std::uint64_t now = hostTicks();
    const std::size_t count = _delivered + _queued;
    if (count > 0 && _flowing && now > _lastRead) {
        // Reports that arrived since the last read, over the time since it.
        const double sample = double(now - _lastRead) / double(count);
        _intervalTicks = _intervalTicks <= 0
                             ? sample
                             : _intervalTicks + kIntervalWeight * (sample - _intervalTicks);
    }
    flushQueued(now, callback, context);
    _flowing = count > 0;
    _lastRead = now;
    return alive;
}

void PollingReportStream::queueReport(const std::uint8_t* report, std::size_t length,
                                      SensorReportCallback callback, void* context) noexcept {
    if (length > kBatchSlotBytes) {
        // Not a report this program reads; passed on with the read time.
        passTimed(report, length, hostTicks(), callback, context);
        return;
    }
    if (_queued == kBatchCapacity) {
        flushQueued(hostTicks(), callback, context);
    }
    std::memcpy(_queue[_queued], report, length);
    _queueLength[_queued] = static_cast<std::uint8_t>(length);
    ++_queued;
}

void PollingReportStream::flushQueued(std::uint64_t now, SensorReportCallback callback,
                                      void* context) noexcept {
    if (_queued == 0) {
        return;
    }
    restampBatch(now, std::max(_lastStamp, _lastRead), _intervalTicks, _queued, _stamps);
    for (std::size_t i = 0; i < _queued; ++i) {
        callback(context, _queue[i], _queueLength[i], _stamps[i]);
    }
    _lastStamp = std::max(_lastStamp, _stamps[_queued - 1]);
    _delivered += _queued;
    _queued = 0;
}

void PollingReportStream::passTimed(const std::uint8_t* report, std::size_t length,
                                    std::uint64_t timestamp, SensorReportCallback callback,
                                    void* context) noexcept {
    // Never ahead of the clock, never before the previous report: a time
    // outside those bounds (a clock stepped, a device's garbage) is held to them.
    const std::uint64_t now = hostTicks();
    const std::uint64_t stamp = std::min(std::max(timestamp, _lastStamp), now);
    callback(context, report, length, stamp);
    _lastStamp = stamp;
    ++_delivered;
}

namespace {

constexpr int kMaxReadsPerSlice = 64;

// One read() of a hidraw node is one report, of whatever length it has.
class HidrawStream final : public PollingReportStream {
public:
    explicit HidrawStream(UniqueFd fd)
        : PollingReportStream(std::move(fd), Batching::sleepAndDrain) {}

protected:
    bool readReports(SensorReportCallback callback, void* context) override {
        for (int i = 0; i < kMaxReadsPerSlice; ++i) {
            const ssize_t n = ::read(fd(), _reportBuf, sizeof _reportBuf);
            if (n > 0) {
                queueReport(_reportBuf, static_cast<std::size_t>(n), callback, context);
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
