#include "tests/support/fake_device_tree.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace clavio::testing {

namespace fs = std::filesystem;

static const fs::path kData = fs::path(CLAVIO_TEST_DATA_DIR) / "platform";

FakeDeviceTree::FakeDeviceTree() {
    for (const fs::path& dir :
         {inputRoot(), sysRoot() / "class/hidraw", sysRoot() / "bus/iio/devices", devRoot()}) {
        fs::create_directories(dir);
    }
}

// A FIFO, or a socket file (which open() refuses, even for root).
fs::path FakeDeviceTree::node(const fs::path& path, FakeNode kind) {
    const mode_t type = kind == FakeNode::fifo ? S_IFIFO : S_IFSOCK;
    if (kind != FakeNode::missing && ::mknod(path.c_str(), type | 0600, 0) != 0) {
        throw std::runtime_error("cannot make a node at " + path.string());
    }
    return path;
}

fs::path FakeDeviceTree::evdev(int n, const nlohmann::json& sidecar, FakeNode kind) {
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    writeFile(path.string() + ".json", sidecar.dump());
    return node(path, kind);
}

fs::path FakeDeviceTree::addKeyboard(int n, const std::string& name, const std::vector<int>& held,
                                     FakeNode kind) {
    std::vector<int> keys = {KEY_FN, BTN_LEFT};
    for (int code = KEY_ESC; code <= KEY_MICMUTE; ++code) {
        keys.push_back(code);
    }
    return evdev(n, {{"name", name}, {"vendor", 1}, {"product", 2}, {"keys", keys}, {"held", held}},
                 kind);
}

fs::path FakeDeviceTree::addMouse(int n) {
    return evdev(n, {{"name", "Fake Mouse"}, {"keys", {BTN_LEFT, BTN_RIGHT}}}, FakeNode::fifo);
}

fs::path FakeDeviceTree::addEvdevAccelerometer(int n, int resolution) {
    auto sidecar = nlohmann::json::parse(readFile(kData / "evdev_accelerometer.json"));
    for (auto& axis : sidecar["abs"]) {
        axis["resolution"] = resolution;
    }
    return evdev(n, sidecar, FakeNode::fifo);
}

fs::path FakeDeviceTree::addHidraw(int n, const std::vector<std::uint8_t>& descriptor,
                                   const std::string& uevent, FakeNode kind) {
    const std::string name = "hidraw" + std::to_string(n);
    const fs::path device = sysRoot() / "class/hidraw" / name / "device";
    writeFile(device / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    writeFile(device / "uevent", uevent);
    return node(devRoot() / name, kind);
}

fs::path FakeDeviceTree::iioDir(int n) const {
    return sysRoot() / "bus/iio/devices" / ("iio:device" + std::to_string(n));
}

fs::path FakeDeviceTree::addIioAccelerometer(int n, const std::string& scale,
                                             const std::string& available, FakeNode kind) {
    const fs::path dir = iioDir(n);
    fs::copy(kData / "iio_accel", dir, fs::copy_options::recursive);
    writeFile(dir / "in_accel_scale", scale + "\n");
    writeFile(dir / "sampling_frequency_available", available + "\n");
    // The data-ready trigger the driver registers.
    writeFile(sysRoot() / "bus/iio/devices" / ("trigger" + std::to_string(n)) / "name",
              "fake-accel-dev" + std::to_string(n) + "\n");
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
    ::close(std::exchange(_fd, -1)); // -1 when already closed: EBADF, nothing else
}

void FifoWriter::write(const void* data, std::size_t size) {
    for (auto* bytes = static_cast<const char*>(data); size > 0 && _fd >= 0;) {
        const ssize_t n = ::write(_fd, bytes, size);
        if (n <= 0 && errno != EINTR) {
            throw std::runtime_error("FIFO write failed");
        }
        bytes += std::max<ssize_t>(n, 0);
        size -= std::size_t(std::max<ssize_t>(n, 0));
    }
}

void FifoWriter::event(std::uint16_t type, std::uint16_t code, std::int32_t value) {
    const input_event e{{}, type, code, value};
    write(&e, sizeof e);
}

void FifoWriter::key(std::uint16_t code, std::int32_t value) {
    // One write, so the reader never sees the key without its report.
    const input_event frame[2] = {{{}, EV_KEY, code, value}, {{}, EV_SYN, SYN_REPORT, 0}};
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
    return double(std::clock()) / CLOCKS_PER_SEC;
}

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names.push_back(name);
    }
    return names;
}

} // namespace clavio::testing
