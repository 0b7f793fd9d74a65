// IIO accelerometers, read one of two ways:
// - through the buffer device: the x, y and z scan elements are enabled
//   (every other channel disabled, so a scan holds exactly those three), the
//   buffer is switched on, and each scan is converted to g;
// - when the buffer cannot be had (its node or sysfs attributes need root, or
//   another service such as iio-sensor-proxy holds it), by polling the
//   in_accel_{x,y,z}_raw attributes on a timer, which any user may read.
// Both give the same 22-byte report. The buffer also carries the timestamp
// channel when the device has one, and its watermark is set to a batch of
// scans, so the poll wakes once per batch and each report keeps the time the
// device gave it (moved onto the tick clock); without the channel, reports
// are stamped back from the read time at the measured rate, and without a
// watermark the stream sleeps out the batch itself. A polled value is
// stamped when it was read.
#include <fcntl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/ports/clock.h"
#include "engine/sensing/accel_report.h"
#include "platform/linux/sensors/sensor_sources.h"
#include "platform/linux/system/sysfs.h"

namespace clavio::platform {

namespace {

namespace fs = std::filesystem;

constexpr std::array<const char*, 3> kAxes = {"x", "y", "z"};

struct IioChannel {
    IioScanType type;
    unsigned index = 0;
    std::size_t offset = 0; // in the scan
    double scale = 1.0;
    double valueOffset = 0.0;
};

std::optional<double> numericAttribute(const fs::path& dir, const std::string& perAxis,
                                       const std::string& shared) {
    for (const auto& name : {perAxis, shared}) {
        if (const auto text = readAttribute(dir / name)) {
            return parseDecimal(*text);
        }
    }
    return std::nullopt;
}

// Buffer nodes this process holds open. The kernel lets one reader hold an
// IIO buffer, so a second device object for the same node in this process is
// refused as another service's would be, and a held buffer is reported as
// read through the buffer rather than as busy.
std::mutex gHeldLock;
std::set<std::string> gHeld;

bool isHeldHere(const fs::path& node) {
    std::lock_guard lock(gHeldLock);
    return gHeld.count(node.string()) != 0;
}

void setHeld(const fs::path& node, bool held) {
    std::lock_guard lock(gHeldLock);
    if (held) {
        gHeld.insert(node.string());
    } else {
        gHeld.erase(node.string());
    }
}

IioBufferProblem problemFor(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return IioBufferProblem::permission;
    case EBUSY:
        return IioBufferProblem::busy;
    case ENOENT:
        return IioBufferProblem::noBuffer;
    default:
        return IioBufferProblem::failed;
    }
}

// Opens for writing and closes again: nothing is written.
bool canWrite(const fs::path& path) {
    return UniqueFd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK)).valid();
}

bool hasScanElements(const fs::path& sysDir) {
    std::error_code ec;
    for (const char* axis : kAxes) {
        if (!fs::exists(sysDir / "scan_elements" / (std::string("in_accel_") + axis + "_en"), ec)) {
            return false;
        }
    }
    return true;
}

fs::path rawPath(const fs::path& sysDir, std::size_t axis) {
    return sysDir / (std::string("in_accel_") + kAxes[axis] + "_raw");
}

// One raw value read again from the start of an open attribute; errno set
// when none (EBUSY: the driver refuses while its buffer runs).
std::optional<std::int64_t> readRaw(int fd) noexcept {
    char text[32];
    ssize_t n;
    do {
        n = ::pread(fd, text, sizeof text, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n == 0) {
            errno = EIO;
        }
        return std::nullopt;
    }
    std::int64_t value = 0;
    const char* end = text + n;
    const auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc{} || (stop != end && *stop != '\n')) {
        errno = EINVAL;
        return std::nullopt;
    }
    return value;
}

bool setAttribute(const fs::path& path, std::string_view value) {
    const auto current = readAttribute(path);
    return (current && *current == value) || writeAttribute(path, value);
}

// "<name>-dev<N>", the data-ready trigger most IIO accelerometer drivers register.
void attachOwnTrigger(const fs::path& sysDir, const fs::path& sysRoot) {
    const fs::path current = sysDir / "trigger" / "current_trigger";
    const auto assigned = readAttribute(current);
    if (!assigned || !assigned->empty()) {
        return;
    }
    const auto name = readAttribute(sysDir / "name");
    const std::string dirName = sysDir.filename().string(); // iio:deviceN
    const auto colon = dirName.find("device");
    if (!name || colon == std::string::npos) {
        return;
    }
    const std::string wanted = *name + "-dev" + dirName.substr(colon + 6);
    std::error_code ec;
    for (auto it = fs::directory_iterator(sysRoot / "bus/iio/devices", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind("trigger", 0) == 0 &&
            readAttribute(it->path() / "name") == wanted) {
            writeAttribute(current, wanted);
            return;
        }
    }
}

// The clock an IIO device stamps its scans with (current_timestamp_clock;
// the kernel's default is the real-time clock).
clockid_t iioTimestampClock(const fs::path& sysDir) {
    const auto name = readAttribute(sysDir / "current_timestamp_clock");
    const std::pair<const char*, clockid_t> clocks[] = {
        {"monotonic", CLOCK_MONOTONIC},
        {"monotonic_raw", CLOCK_MONOTONIC_RAW},
        {"realtime_coarse", CLOCK_REALTIME_COARSE},
        {"monotonic_coarse", CLOCK_MONOTONIC_COARSE},
        {"boottime", CLOCK_BOOTTIME},
        {"tai", CLOCK_TAI}};
    for (const auto& [text, id] : clocks) {
        if (name == text) {
            return id;
        }
    }
    return CLOCK_REALTIME;
}

// How the scans of a buffer arrive: batched by the kernel (watermark) or not,
// and with the device's own time or without.
struct IioBatching {
    PollingReportStream::Batching batching = PollingReportStream::Batching::sleepAndDrain;
    std::optional<IioChannel> timestamp;
    clockid_t clock = CLOCK_REALTIME;
    // Attributes changed for this stream with the values they had, written
    // back when it ends (so another reader finds the buffer as it was).
    std::vector<std::pair<fs::path, std::string>> restore;
};

class IioStream final : public PollingReportStream {
public:
    IioStream(UniqueFd fd, fs::path sysDir, fs::path node, std::array<IioChannel, 3> channels,
              std::size_t scanSize, bool enabledHere, IioBatching batching)
        : PollingReportStream(std::move(fd), batching.batching), _sysDir(std::move(sysDir)),
          _node(std::move(node)), _channels(channels), _scanSize(scanSize),
          _enabledHere(enabledHere), _timestamp(batching.timestamp), _clock(batching.clock),
          _restore(std::move(batching.restore)) {
        setHeld(_node, true);
    }

    ~IioStream() override {
        // A buffer found switched on and set up is left as it was found; one
        // set up here is switched off and its channels, length and watermark
        // put back.
        if (_enabledHere) {
            writeAttribute(_sysDir / "buffer" / "enable", "0");
            for (const auto& [path, value] : _restore) {
                writeAttribute(path, value);
            }
        }
        setHeld(_node, false);
    }

protected:
    bool readReports(SensorReportCallback callback, void* context) override {
        for (int i = 0; i < 64; ++i) {
            const ssize_t n = ::read(fd(), _buffer + _have, sizeof _buffer - _have);
            if (n == 0) {
                return false;
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            _have += static_cast<std::size_t>(n);
            std::size_t used = 0;
            // The device's clock read beside the tick clock: the distance
            // between them moves a scan's time onto ticks.
            timespec device{};
            const std::uint64_t ticks = hostTicks();
            ::clock_gettime(_clock, &device);
            const auto deviceNow =
                static_cast<std::int64_t>(device.tv_sec) * 1000000000 + device.tv_nsec;
            for (; _have - used >= _scanSize; used += _scanSize) {
                emit(_buffer + used, ticks, deviceNow, callback, context);
            }
            std::memmove(_buffer, _buffer + used, _have - used);
            _have -= used;
        }
        return true;
    }

private:
    void emit(const std::uint8_t* scan, std::uint64_t ticks, std::int64_t deviceNow,
              SensorReportCallback callback, void* context) noexcept {
        double g[3];
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const IioChannel& c = _channels[axis];
            const auto raw = static_cast<double>(decodeIioSample(c.type, scan + c.offset));
            g[axis] = (raw + c.valueOffset) * c.scale / kStandardGravity;
        }
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(g[0], g[1], g[2], report);
        if (!_timestamp) {
            queueReport(report, sizeof report, callback, context);
            return;
        }
        const std::int64_t at = decodeIioSample(_timestamp->type, scan + _timestamp->offset);
        // A scan stamped ahead of the clock is taken as read now.
        const std::int64_t age = std::max<std::int64_t>(0, deviceNow - at);
        const std::uint64_t stamp = std::uint64_t(age) < ticks ? ticks - std::uint64_t(age) : 0;
        passTimed(report, sizeof report, stamp, callback, context);
    }

    fs::path _sysDir;
    fs::path _node;
    std::array<IioChannel, 3> _channels;
    std::size_t _scanSize;
    bool _enabledHere;
    std::optional<IioChannel> _timestamp;
    clockid_t _clock;
    std::vector<std::pair<fs::path, std::string>> _restore;
    std::uint8_t _buffer[4096];
    std::size_t _have = 0;
};

// Polling: a timer fires at the polling rate and each expiry reads the three
// raw attributes through descriptors kept open (pread from offset 0 makes
// sysfs produce a fresh value). Expiries missed while the thread was late
// give one sample, not a burst of equal ones. A read the driver refuses for
// the moment (EBUSY, EAGAIN, EIO) skips that sample; the attributes gone
// (ENODEV, or the raw file no longer there, checked about once a second)
// ends the stream.
class IioPollStream final : public PollingReportStream {
public:
    IioPollStream(UniqueFd timer, std::array<UniqueFd, 3> raw, fs::path rawX,
                  std::array<IioChannel, 3> channels, double rateHz)
        : PollingReportStream(std::move(timer)), _raw(std::move(raw)), _rawX(std::move(rawX)),
          _channels(channels), _checkEvery(std::max(1, static_cast<int>(rateHz))) {}

protected:
    bool readReports(SensorReportCallback callback, void* context) override {
        std::uint64_t expiries = 0;
        if (::read(fd(), &expiries, sizeof expiries) != sizeof expiries) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        if (++_sinceCheck >= _checkEvery) {
            _sinceCheck = 0;
            if (::access(_rawX.c_str(), F_OK) != 0 && errno == ENOENT) {
                return false;
            }
        }
        const std::uint64_t now = hostTicks();
        double g[3];
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const auto raw = readRaw(_raw[axis].get());
            if (!raw) {
                return errno != ENODEV && errno != ENXIO && errno != ENOENT;
            }
            const IioChannel& c = _channels[axis];
            g[axis] = (static_cast<double>(*raw) + c.valueOffset) * c.scale / kStandardGravity;
        }
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(g[0], g[1], g[2], report);
        callback(context, report, sizeof report, now);
        return true;
    }

private:
    std::array<UniqueFd, 3> _raw;
    fs::path _rawX;
    std::array<IioChannel, 3> _channels;
    int _checkEvery;
    int _sinceCheck = 0;
};

UniqueFd periodicTimer(double rateHz) {
    UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    const auto periodNs = static_cast<long long>(1e9 / rateHz);
    itimerspec spec{};
    spec.it_interval.tv_sec = static_cast<time_t>(periodNs / 1000000000);
    spec.it_interval.tv_nsec = static_cast<long>(periodNs % 1000000000);
    spec.it_value = spec.it_interval;
    if (timer && ::timerfd_settime(timer.get(), 0, &spec, nullptr) != 0) {
        timer.reset();
    }
    return timer;
}

// The three raw attributes opened and read once, or none (errno set).
std::optional<std::array<UniqueFd, 3>> openRaw(const fs::path& sysDir) {
    std::array<UniqueFd, 3> raw;
    for (std::size_t axis = 0; axis < 3; ++axis) {
        raw[axis] = UniqueFd(::open(rawPath(sysDir, axis).c_str(), O_RDONLY | O_CLOEXEC));
        if (!raw[axis] || !readRaw(raw[axis].get())) {
            return std::nullopt;
        }
    }
    return raw;
}

class IioDevice final : public SensorDevice {
public:
    IioDevice(fs::path sysDir, fs::path node, fs::path sysRoot, std::array<IioChannel, 3> channels,
              bool hasScan, std::optional<IioChannel> timestamp)
        : _sysDir(std::move(sysDir)), _node(std::move(node)), _sysRoot(std::move(sysRoot)),
          _channels(channels), _hasScan(hasScan), _timestamp(timestamp) {}

    std::unique_ptr<SensorReportStream> open() override {
        if (_hasScan && !isHeldHere(_node)) {
            if (auto stream = openBuffer()) {
                return stream;
            }
        }
        return openPolling();
    }

private:
    std::unique_ptr<SensorReportStream> openBuffer() {
        UniqueFd fd = openDeviceNode(_node.c_str());
        if (!fd) {
            return nullptr;
        }
        // Channels can only change while the buffer is off. Every write that
        // shapes the scan must succeed; without permission to write sysfs the
        // buffer cannot be used. A buffer already on with exactly our
        // channels needs no write (only the node), so it is taken as it is.
        const fs::path scanDir = _sysDir / "scan_elements";
        const fs::path enable = _sysDir / "buffer" / "enable";
        const bool wasOn = readAttribute(enable) == "1";
        std::vector<std::pair<fs::path, const char*>> wanted;
        bool asWanted = true;
        std::error_code ec;
        for (auto it = fs::directory_iterator(scanDir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const bool isEnable = name.size() > 3 && name.compare(name.size() - 3, 3, "_en") == 0;
            const bool ours = name == "in_accel_x_en" || name == "in_accel_y_en" ||
                              name == "in_accel_z_en" || (_timestamp && name == "in_timestamp_en");
            if (isEnable) {
                wanted.emplace_back(it->path(), ours ? "1" : "0");
                asWanted = asWanted && readAttribute(it->path()) == wanted.back().second;
            }
        }
        if (wasOn && asWanted) {
            // The watermark cannot change while the buffer runs: a batch as
            // found, or none.
            const auto mark =
                parseInteger(readAttribute(_sysDir / "buffer" / "watermark").value_or(""));
            // The channel offsets first: the stream copies the channels.
            const std::size_t size = scanSize();
            return std::make_unique<IioStream>(std::move(fd), _sysDir, _node, _channels, size,
                                               false, batching(mark && *mark > 1));
        }
        std::vector<std::pair<fs::path, std::string>> restore;
        const auto remember = [&restore](const fs::path& path) {
            if (auto value = readAttribute(path)) {
                restore.emplace_back(path, std::move(*value));
            }
        };
        for (const auto& [path, value] : wanted) {
            remember(path);
        }
        remember(_sysDir / "buffer" / "length");
        remember(_sysDir / "buffer" / "watermark");
        if (!setAttribute(enable, "0")) {
            return nullptr;
        }
        for (const auto& [path, value] : wanted) {
            if (!setAttribute(path, value)) {
                return nullptr;
            }
        }
        attachOwnTrigger(_sysDir, _sysRoot);
        const bool marked = setWatermark();
        if (!setAttribute(enable, "1")) {
            return nullptr;
        }
        const std::size_t size = scanSize();
        IioBatching setUp = batching(marked);
        setUp.restore = std::move(restore);
        return std::make_unique<IioStream>(std::move(fd), _sysDir, _node, _channels, size, true,
                                           std::move(setUp));
    }

    // A watermark of one batch of scans at the device's frequency, with a
    // buffer four batches long; false when the frequency is unknown or the
    // kernel refuses (the stream then sleeps out its batches itself).
    bool setWatermark() {
        const auto hz = iioSamplingFrequency(_sysDir);
        if (!hz) {
            return false;
        }
        const auto mark = std::max<std::int64_t>(1, std::llround(*hz * kSensorBatchSeconds));
        if (mark < 2) {
            return false;
        }
        const fs::path length = _sysDir / "buffer" / "length";
        const auto current = parseInteger(readAttribute(length).value_or(""));
        if ((!current || *current < 4 * mark) && !setAttribute(length, std::to_string(4 * mark))) {
            return false;
        }
        return setAttribute(_sysDir / "buffer" / "watermark", std::to_string(mark));
    }

    IioBatching batching(bool marked) const {
        IioBatching b;
        b.batching = marked ? PollingReportStream::Batching::kernel
                            : PollingReportStream::Batching::sleepAndDrain;
        b.timestamp = _timestamp;
        b.clock = iioTimestampClock(_sysDir);
        return b;
    }

    std::unique_ptr<SensorReportStream> openPolling() {
        auto raw = openRaw(_sysDir);
        if (!raw) {
            return nullptr;
        }
        const double rate = iioPollingRate(_sysDir);
        UniqueFd timer = periodicTimer(rate);
        if (!timer) {
            return nullptr;
        }
        return std::make_unique<IioPollStream>(std::move(timer), std::move(*raw),
                                               rawPath(_sysDir, 0), _channels, rate);
    }

    // Channels sit in index order, each aligned to its own storage size; the
    // scan is padded to the largest storage size.
    std::size_t scanSize() {
        std::vector<IioChannel*> order = {&_channels[0], &_channels[1], &_channels[2]};
        if (_timestamp) {
            order.push_back(&*_timestamp);
        }
        std::sort(order.begin(), order.end(),
                  [](const IioChannel* a, const IioChannel* b) { return a->index < b->index; });
        std::size_t offset = 0;
        std::size_t largest = 1;
        for (IioChannel* c : order) {
            const std::size_t bytes = c->type.storageBits / 8;
            offset = (offset + bytes - 1) / bytes * bytes;
            c->offset = offset;
            offset += bytes;
            largest = std::max(largest, bytes);
        }
        return (offset + largest - 1) / largest * largest;
    }

    fs::path _sysDir;
    fs::path _node;
    fs::path _sysRoot;
    std::array<IioChannel, 3> _channels;
    bool _hasScan;
    std::optional<IioChannel> _timestamp;
};

std::optional<double> frequencyList(const fs::path& sysDir, double targetHz) {
    for (const char* name :
         {"sampling_frequency_available", "in_accel_sampling_frequency_available"}) {
        if (const auto text = readAttribute(sysDir / name)) {
            if (const auto chosen = chooseSamplingFrequency(*text, targetHz)) {
                return chosen;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<IioScanType> parseIioScanType(std::string_view text) noexcept {
    IioScanType type;
    if (text.size() < 3 || (text.substr(0, 3) != "le:" && text.substr(0, 3) != "be:")) {
        return std::nullopt;
    }
    type.bigEndian = text[0] == 'b';
    text.remove_prefix(3);
    if (text.empty() || (text[0] != 's' && text[0] != 'u')) {
        return std::nullopt;
    }
    type.isSigned = text[0] == 's';
    text.remove_prefix(1);
    auto number = [&text](unsigned& out) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
        if (ec != std::errc{}) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        return true;
    };
    if (!number(type.bits) || text.empty() || text[0] != '/') {
        return std::nullopt;
    }
    text.remove_prefix(1);
    if (!number(type.storageBits) || text.substr(0, 2) != ">>") {
        return std::nullopt; // also rejects repeated channels ("X2")
    }
    text.remove_prefix(2);
    if (!number(type.shift) || !text.empty()) {
        return std::nullopt;
    }
    const unsigned s = type.storageBits;
    if ((s != 8 && s != 16 && s != 32 && s != 64) || type.bits == 0 || type.bits > s ||
        type.shift + type.bits > s) {
        return std::nullopt;
    }
    return type;
}

std::int64_t decodeIioSample(const IioScanType& type, const std::uint8_t* storage) noexcept {
    const unsigned bytes = type.storageBits / 8;
    std::uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        const unsigned b = type.bigEndian ? i : bytes - 1 - i;
        v = (v << 8) | storage[b];
    }
    v >>= type.shift;
    if (type.bits < 64) {
        v &= (std::uint64_t{1} << type.bits) - 1;
        if (type.isSigned && (v >> (type.bits - 1)) & 1u) {
            v |= ~((std::uint64_t{1} << type.bits) - 1);
        }
    }
    return static_cast<std::int64_t>(v);
}

std::optional<double> chooseSamplingFrequency(std::string_view available, double targetHz) {
    std::vector<double> numbers;
    const bool range = !available.empty() && available.front() == '[';
    std::string text(available);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '[' || c == ']'; }, ' ');
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t\n", pos);
        if (start == std::string::npos) {
            break;
        }
        const std::size_t end = std::min(text.find_first_of(" \t\n", start), text.size());
        if (const auto value = parseDecimal(std::string_view(text).substr(start, end - start))) {
            numbers.push_back(*value);
        }
        pos = end;
    }
    if (range) {
        // "[min step max]"
        if (numbers.size() != 3 || numbers[2] <= 0 || numbers[0] > numbers[2]) {
            return std::nullopt;
        }
        return std::clamp(targetHz, std::max(numbers[0], 0.0), numbers[2]);
    }
    std::erase_if(numbers, [](double f) { return f <= 0; });
    if (numbers.empty()) {
        return std::nullopt;
    }
    std::sort(numbers.begin(), numbers.end());
    const auto above = std::upper_bound(numbers.begin(), numbers.end(), targetHz);
    return above == numbers.begin() ? numbers.front() : *(above - 1);
}

std::optional<double> iioSamplingFrequency(const fs::path& sysDir) {
    for (const char* name : {"sampling_frequency", "in_accel_sampling_frequency"}) {
        if (const auto text = readAttribute(sysDir / name)) {
            if (const auto hz = parseDecimal(*text); hz && *hz > 0) {
                return hz;
            }
        }
    }
    return std::nullopt;
}

double iioPollingRate(const fs::path& sysDir) {
    if (const auto offered = frequencyList(sysDir, kIioPollingCapHz)) {
        return std::min(*offered, kIioPollingCapHz);
    }
    if (const auto current = iioSamplingFrequency(sysDir)) {
        return std::min(*current, kIioPollingCapHz);
    }
    return kIioPollingDefaultHz;
}

IioReadPlan planIioRead(const fs::path& sysDir, const fs::path& node) {
    IioReadPlan plan;
    plan.bufferProblem = IioBufferProblem::noBuffer;
    if (hasScanElements(sysDir)) {
        if (isHeldHere(node)) {
            plan.mode = IioReadMode::buffer;
            plan.bufferProblem = IioBufferProblem::none;
            plan.rateHz = iioSamplingFrequency(sysDir).value_or(0);
            return plan;
        }
        const UniqueFd fd = openDeviceNode(node.c_str());
        if (!fd) {
            plan.bufferProblem = problemFor(errno);
            plan.detail = node.string() + ": " + std::strerror(errno);
        } else {
            bool writable = canWrite(sysDir / "buffer" / "enable");
            std::error_code ec;
            for (auto it = fs::directory_iterator(sysDir / "scan_elements", ec);
                 writable && !ec && it != fs::directory_iterator(); it.increment(ec)) {
                const std::string name = it->path().filename().string();
                if (name.size() > 3 && name.compare(name.size() - 3, 3, "_en") == 0) {
                    writable = canWrite(it->path());
                }
            }
            if (writable) {
                plan.mode = IioReadMode::buffer;
                plan.bufferProblem = IioBufferProblem::none;
                plan.rateHz = iioSamplingFrequency(sysDir).value_or(0);
                return plan;
            }
            plan.bufferProblem = IioBufferProblem::permission;
            plan.detail = "the buffer's sysfs attributes cannot be written";
        }
    }
    if (openRaw(sysDir)) {
        plan.mode = IioReadMode::polling;
        plan.rateHz = iioPollingRate(sysDir);
    } else {
        plan.detail = rawPath(sysDir, 0).filename().string() + ": " + std::strerror(errno);
        if (errno == EBUSY) {
            plan.bufferProblem = IioBufferProblem::busy;
        }
    }
    return plan;
}

std::unique_ptr<SensorDevice> createIioDevice(const fs::path& sysDir, const fs::path& node,
                                              const fs::path& sysRoot) {
    std::error_code ec;
    std::array<IioChannel, 3> channels;
    const fs::path scanDir = sysDir / "scan_elements";
    const bool hasScan = hasScanElements(sysDir);
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::string prefix = std::string("in_accel_") + kAxes[axis];
        const auto scale = numericAttribute(sysDir, prefix + "_scale", "in_accel_scale");
        if (!scale) {
            return nullptr;
        }
        channels[axis].scale = *scale;
        // The offset is optional, but present and not a number is a broken device.
        const bool hasOffset = fs::exists(sysDir / (prefix + "_offset"), ec) ||
                               fs::exists(sysDir / "in_accel_offset", ec);
        if (hasOffset) {
            const auto offset = numericAttribute(sysDir, prefix + "_offset", "in_accel_offset");
            if (!offset) {
                return nullptr;
            }
            channels[axis].valueOffset = *offset;
        }
        if (!hasScan) {
            continue; // read by polling only
        }
        const auto typeText = readAttribute(scanDir / (prefix + "_type"));
        const auto indexText = readAttribute(scanDir / (prefix + "_index"));
        if (!typeText || !indexText) {
            return nullptr;
        }
        const auto type = parseIioScanType(*typeText);
        const auto index = parseInteger(*indexText);
        if (!type || !index || index.value() < 0) {
            return nullptr;
        }
        channels[axis].type = *type;
        channels[axis].index = static_cast<unsigned>(index.value());
    }
    // The timestamp channel, when the device has a usable one.
    std::optional<IioChannel> timestamp;
    if (hasScan) {
        const auto typeText = readAttribute(scanDir / "in_timestamp_type");
        const auto indexText = readAttribute(scanDir / "in_timestamp_index");
        const auto type = typeText ? parseIioScanType(*typeText) : std::nullopt;
        const auto index = indexText ? parseInteger(*indexText) : std::nullopt;
        if (type && type->storageBits == 64 && index && *index >= 0 &&
            fs::exists(scanDir / "in_timestamp_en", ec)) {
            timestamp = IioChannel{*type, static_cast<unsigned>(*index)};
        }
    }
    return std::make_unique<IioDevice>(sysDir, node, sysRoot, channels, hasScan, timestamp);
}

} // namespace clavio::platform
