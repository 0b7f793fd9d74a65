#include "tests/support/fake_device_tree.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace clavio::testing {

namespace fs = std::filesystem;

namespace {
const fs::path kData = fs::path(CLAVIO_TEST_DATA_DIR) / "platform";
}

FakeDeviceTree::FakeDeviceTree() {
    for (const fs::path& dir : {inputRoot(), sysRoot() / "class/hidraw",
                                sysRoot() / "bus/iio/devices", devRoot()}) {
        fs::create_directories(dir);
    }
}

FakeDeviceTree::~FakeDeviceTree() {
    for (int fd : _sockets) {
        ::close(fd);
    }
}

void FakeDeviceTree::makeNode(const fs::path& path, FakeNode kind) {
    if (kind == FakeNode::fifo && ::mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo failed for " + path.string());
    }
}

fs::path FakeDeviceTree::node(const fs::path& path, FakeNode kind) {
    if (kind != FakeNode::unopenable) {
        makeNode(path, kind);
        return path;
    }
    // A bound socket, open until the tree goes away.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || path.native().size() >= sizeof address.sun_path) {
        throw std::runtime_error("cannot make a socket node at " + path.string());
    }
    _sockets.push_back(fd);
    std::strcpy(address.sun_path, path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("bind failed for " + path.string());
    }
    return path;
}

fs::path FakeDeviceTree::addKeyboard(int n, const std::string& name, const std::vector<int>& held,
                                     FakeNode kind) {
    std::vector<int> keys;
    for (int code = KEY_ESC; code <= KEY_MICMUTE; ++code) {
        keys.push_back(code);
    }
    keys.insert(keys.end(), {KEY_FN, BTN_LEFT});
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    writeFile(path.string() + ".json",
              nlohmann::json{{"name", name}, {"vendor", 1}, {"product", 2}, {"keys", keys},
                             {"held", held}}
                  .dump());
    return node(path, kind);
}

fs::path FakeDeviceTree::addMouse(int n) {
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    writeFile(path.string() + ".json",
              nlohmann::json{{"name", "Fake Mouse"}, {"keys", {BTN_LEFT, BTN_RIGHT}}}.dump());
    return node(path, FakeNode::fifo);
}

fs::path FakeDeviceTree::addEvdevAccelerometer(int n, int resolution) {
    auto sidecar = nlohmann::json::parse(readFile(kData / "evdev_accelerometer.json"));
    for (auto& axis : sidecar["abs"]) {
        axis["resolution"] = resolution;
    }
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    writeFile(path.string() + ".json", sidecar.dump());
    return node(path, FakeNode::fifo);
}

fs::path FakeDeviceTree::addHidraw(int n, const std::vector<std::uint8_t>& descriptor,
                                   const std::string& uevent, FakeNode kind) {
    const std::string name = "hidraw" + std::to_string(n);
    const fs::path device = sysRoot() / "class/hidraw" / name / "device";
    fs::create_directories(device);
    writeFile(device / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    writeFile(device / "uevent", uevent);
    return node(devRoot() / name, kind);
}

fs::path FakeDeviceTree::iioDir(int n) const {
    return sysRoot() / "bus/iio/devices" / ("iio:device" + std::to_string(n));
}

fs::path FakeDeviceTree::addIioAccelerometer(int n, const std::string& scale,
                                             const std::string& available,
                                             const std::map<std::string, std::string>& overrides,
                                             FakeNode kind) {
    const fs::path dir = iioDir(n);
    fs::copy(kData / "iio_accel", dir, fs::copy_options::recursive);
    auto files = overrides;
    files.emplace("in_accel_scale", scale);
    files.emplace("sampling_frequency_available", available);
    for (const auto& [file, text] : files) {
        writeFile(dir / file, text + "\n");
    }
    // The data-ready trigger the driver registers.
    const fs::path trigger = sysRoot() / "bus/iio/devices" / ("trigger" + std::to_string(n));
    fs::create_directories(trigger);
    writeFile(trigger / "name", "fake-accel-dev" + std::to_string(n) + "\n");
    return node(devRoot() / ("iio:device" + std::to_string(n)), kind);
}

FifoWriter::FifoWriter(const fs::path& fifo) {
    // O_NONBLOCK fails with ENXIO until the reader has opened its end.
    waitFor([&] { return (_fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; });
    if (_fd >= 0) {
        ::fcntl(_fd, F_SETFL, ::fcntl(_fd, F_GETFL) & ~O_NONBLOCK);
    }
}

void FifoWriter::close() {
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
}

void FifoWriter::write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0 && _fd >= 0) {
        const ssize_t n = ::write(_fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("FIFO write failed");
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

void FifoWriter::event(std::uint16_t type, std::uint16_t code, std::int32_t value) {
    input_event e{};
    e.type = type;
    e.code = code;
    e.value = value;
    write(&e, sizeof e);
}

void FifoWriter::key(std::uint16_t code, std::int32_t value) {
    // One write, so the reader never sees the key without its report.
    input_event frame[2] = {};
    frame[0].type = EV_KEY;
    frame[0].code = code;
    frame[0].value = value;
    frame[1].type = EV_SYN;
    write(frame, sizeof frame);
}

bool FifoWriter::waitDrained() {
    return waitFor([&] {
        int pending = 0;
        return ::ioctl(_fd, FIONREAD, &pending) == 0 && pending == 0;
    });
}

void FifoWriter::report(const std::vector<std::uint8_t>& bytes) {
    write(bytes.data(), bytes.size());
    waitDrained();
}

std::vector<std::uint8_t> accelReport(std::int32_t x, std::int32_t y, std::int32_t z,
                                      std::size_t length) {
    std::vector<std::uint8_t> report(std::max<std::size_t>(length, 18), 0);
    const std::int32_t axes[] = {x, y, z};
    std::memcpy(report.data() + 6, axes, sizeof axes); // little-endian host
    report.resize(length);
    return report;
}

double processCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.push_back(name);
    }
    return names;
}

} // namespace clavio::testing
