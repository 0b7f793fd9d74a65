// IIO accelerometers through the buffer device: the x, y and z scan elements
// are enabled (every other channel disabled, so a scan holds exactly those
// three), the buffer is switched on, and each scan is converted to g.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
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

class IioStream final : public PollingReportStream {
public:
    IioStream(UniqueFd fd, fs::path sysDir, std::array<IioChannel, 3> channels,
              std::size_t scanSize)
        : PollingReportStream(std::move(fd)), _sysDir(std::move(sysDir)), _channels(channels),
          _scanSize(scanSize) {}

    ~IioStream() override { writeAttribute(_sysDir / "buffer" / "enable", "0"); }

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
            const std::uint64_t now = hostTicks();
            for (; _have - used >= _scanSize; used += _scanSize) {
                emit(_buffer + used, now, callback, context);
            }
            std::memmove(_buffer, _buffer + used, _have - used);
            _have -= used;
        }
        return true;
    }

private:
    void emit(const std::uint8_t* scan, std::uint64_t timestamp, SensorReportCallback callback,
              void* context) noexcept {
        double g[3];
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const IioChannel& c = _channels[axis];
            const auto raw = static_cast<double>(decodeIioSample(c.type, scan + c.offset));
            g[axis] = (raw + c.valueOffset) * c.scale / kStandardGravity;
        }
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(g[0], g[1], g[2], report);
        callback(context, report, sizeof report, timestamp);
    }

    fs::path _sysDir;
    std::array<IioChannel, 3> _channels;
    std::size_t _scanSize;
    std::uint8_t _buffer[4096];
    std::size_t _have = 0;
};

class IioDevice final : public SensorDevice {
public:
    IioDevice(fs::path sysDir, fs::path node, fs::path sysRoot, std::array<IioChannel, 3> channels)
        : _sysDir(std::move(sysDir)), _node(std::move(node)), _sysRoot(std::move(sysRoot)),
          _channels(channels) {}

    std::unique_ptr<SensorReportStream> open() override {
        UniqueFd fd = openDeviceNode(_node.c_str());
        if (!fd) {
            return nullptr;
        }
        // Channels can only change while the buffer is off. Every write that
        // shapes the scan must succeed; without permission to write sysfs the
        // buffer cannot be used, which is a refusal of access.
        const fs::path scanDir = _sysDir / "scan_elements";
        const fs::path enable = _sysDir / "buffer" / "enable";
        if (!setAttribute(enable, "0")) {
            return nullptr;
        }
        std::error_code ec;
        for (auto it = fs::directory_iterator(scanDir, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const bool isEnable = name.size() > 3 && name.compare(name.size() - 3, 3, "_en") == 0;
            const bool ours =
                name == "in_accel_x_en" || name == "in_accel_y_en" || name == "in_accel_z_en";
            if (isEnable && !setAttribute(it->path(), ours ? "1" : "0")) {
                return nullptr;
            }
        }
        attachOwnTrigger(_sysDir, _sysRoot);
        if (!setAttribute(enable, "1")) {
            return nullptr;
        }
        return std::make_unique<IioStream>(std::move(fd), _sysDir, _channels, scanSize());
    }

private:
    // Channels sit in index order, each aligned to its own storage size; the
    // scan is padded to the largest storage size.
    std::size_t scanSize() {
        std::array<IioChannel*, 3> order = {&_channels[0], &_channels[1], &_channels[2]};
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
};

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

std::unique_ptr<SensorDevice> createIioDevice(const fs::path& sysDir, const fs::path& node,
                                              const fs::path& sysRoot) {
    std::error_code ec;
    if (!fs::exists(node, ec)) {
        return nullptr;
    }
    std::array<IioChannel, 3> channels;
    const fs::path scanDir = sysDir / "scan_elements";
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const std::string prefix = std::string("in_accel_") + kAxes[axis];
        const auto typeText = readAttribute(scanDir / (prefix + "_type"));
        const auto indexText = readAttribute(scanDir / (prefix + "_index"));
        if (!typeText || !indexText) {
            return nullptr;
        }
        const auto type = parseIioScanType(*typeText);
        const auto index = parseInteger(*indexText);
        const auto scale = numericAttribute(sysDir, prefix + "_scale", "in_accel_scale");
        if (!type || !index || !scale) {
            return nullptr;
        }
        channels[axis].type = *type;
        if (index.value() < 0) {
            return nullptr;
        }
        channels[axis].index = static_cast<unsigned>(index.value());
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
    }
    return std::make_unique<IioDevice>(sysDir, node, sysRoot, channels);
}

} // namespace clavio::platform
