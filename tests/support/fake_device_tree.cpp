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
#include <sstream>
#include <stdexcept>

namespace clavio::testing {

namespace fs = std::filesystem;

namespace {

std::string jsonList(const std::vector<int>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        text += (i ? "," : "") + std::to_string(values[i]);
    }
    return text + "]";
}

// Every socket bound here stays open until the tree goes away.
int bindSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.native().size() >= sizeof address.sun_path) {
        throw std::runtime_error("cannot make a socket node at " + path.string());
    }
    std::strcpy(address.sun_path, path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("bind failed for " + path.string());
    }
    return fd;
}

} // namespace

FakeDeviceTree::FakeDeviceTree() : _dir(_tmp.path()) {
    fs::create_directories(inputRoot());
    fs::create_directories(sysRoot() / "class" / "hidraw");
    fs::create_directories(sysRoot() / "bus" / "iio" / "devices");
    fs::create_directories(devRoot());
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

fs::path FakeDeviceTree::addKeyboard(int n, const std::string& name, const std::vector<int>& held,
                                     FakeNode node) {
    std::vector<int> keys;
    for (int code = KEY_ESC; code <= KEY_MICMUTE; ++code) {
        keys.push_back(code);
    }
    keys.push_back(KEY_FN);
    // Touchpad buttons of a keyboard with a built-in pointer.
    keys.push_back(BTN_LEFT);
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    writeFile(path.string() + ".json", "{\"name\":\"" + name + "\",\"vendor\":1,\"product\":2," +
                                           "\"keys\":" + jsonList(keys) +
                                           ",\"held\":" + jsonList(held) + "}");
    if (node == FakeNode::unopenable) {
        _sockets.push_back(bindSocket(path));
    } else {
        makeNode(path, node);
    }
    return path;
}

fs::path FakeDeviceTree::addMouse(int n) {
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    writeFile(path.string() + ".json",
              "{\"name\":\"Fake Mouse\",\"keys\":" + jsonList({BTN_LEFT, BTN_RIGHT}) + "}");
    makeNode(path, FakeNode::fifo);
    return path;
}

fs::path FakeDeviceTree::addEvdevAccelerometer(int n, int resolution) {
    const fs::path path = inputRoot() / ("event" + std::to_string(n));
    std::ostringstream json;
    json << "{\"name\":\"Fake Motion Sensor\",\"vendor\":1356,\"product\":2508,"
         << "\"properties\":[" << INPUT_PROP_ACCELEROMETER << "],\"abs\":{";
    const char* axes[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
        json << (i ? "," : "") << "\"" << axes[i] << "\":{\"value\":0,\"min\":-32768,"
             << "\"max\":32767,\"resolution\":" << resolution << "}";
    }
    json << "}}";
    writeFile(path.string() + ".json", json.str());
    makeNode(path, FakeNode::fifo);
    return path;
}

fs::path FakeDeviceTree::addHidraw(int n, const std::vector<std::uint8_t>& descriptor,
                                   const std::string& uevent, FakeNode node) {
    const std::string name = "hidraw" + std::to_string(n);
    const fs::path deviceDir = sysRoot() / "class" / "hidraw" / name / "device";
    fs::create_directories(deviceDir);
    writeFile(deviceDir / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
    writeFile(deviceDir / "uevent", uevent);
    const fs::path path = devRoot() / name;
    if (node == FakeNode::unopenable) {
        _sockets.push_back(bindSocket(path));
    } else {
        makeNode(path, node);
    }
    return path;
}

fs::path FakeDeviceTree::iioDir(int n) const {
    return sysRoot() / "bus" / "iio" / "devices" / ("iio:device" + std::to_string(n));
}

fs::path FakeDeviceTree::addIioAccelerometer(int n, const std::string& scale,
                                             const std::string& available,
                                             const std::map<std::string, std::string>& overrides,
                                             FakeNode node) {
    const fs::path dir = iioDir(n);
    fs::create_directories(dir / "scan_elements");
    fs::create_directories(dir / "buffer");
    fs::create_directories(dir / "trigger");
    std::map<std::string, std::string> files = {
        {"name", "fake-accel"},
        {"in_accel_scale", scale},
        {"sampling_frequency_available", available},
        {"sampling_frequency", "100"},
        {"buffer/enable", "0"},
        {"buffer/length", "64"},
        {"trigger/current_trigger", ""},
        {"scan_elements/in_timestamp_en", "1"},
        {"scan_elements/in_timestamp_index", "3"},
        {"scan_elements/in_timestamp_type", "le:s64/64>>0"},
    };
    const char* axes[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
        const std::string prefix = std::string("scan_elements/in_accel_") + axes[i];
        files[prefix + "_en"] = "0";
        files[prefix + "_index"] = std::to_string(i);
        files[prefix + "_type"] = "le:s16/16>>0";
    }
    for (const auto& [file, text] : overrides) {
        files[file] = text;
    }
    for (const auto& [file, text] : files) {
        writeFile(dir / file, text + "\n");
    }
    // The data-ready trigger the driver registers.
    const fs::path trigger =
        sysRoot() / "bus" / "iio" / "devices" / ("trigger" + std::to_string(n));
    fs::create_directories(trigger);
    writeFile(trigger / "name", "fake-accel-dev" + std::to_string(n) + "\n");

    const fs::path path = devRoot() / ("iio:device" + std::to_string(n));
    if (node == FakeNode::unopenable) {
        _sockets.push_back(bindSocket(path));
    } else {
        makeNode(path, node);
    }
    return path;
}

FifoWriter::FifoWriter(const fs::path& fifo) {
    // O_NONBLOCK fails with ENXIO until the reader has opened its end.
    waitFor([&] {
        _fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return _fd >= 0;
    });
    if (_fd >= 0) {
        ::fcntl(_fd, F_SETFL, ::fcntl(_fd, F_GETFL) & ~O_NONBLOCK);
    }
}

FifoWriter::~FifoWriter() {
    close();
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
    input_event frame[2] = {};
    frame[0].type = EV_KEY;
    frame[0].code = code;
    frame[0].value = value;
    frame[1].type = EV_SYN;
    frame[1].code = SYN_REPORT;
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
    std::vector<std::uint8_t> report(length, 0);
    const std::int32_t axes[] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        const auto v = static_cast<std::uint32_t>(axes[i]);
        for (int b = 0; b < 4; ++b) {
            const std::size_t at =
                6 + 4 * static_cast<std::size_t>(i) + static_cast<std::size_t>(b);
            if (at < length) {
                report[at] = static_cast<std::uint8_t>(v >> (8 * b));
            }
        }
    }
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
        std::ifstream in(task.path() / "comm");
        std::string name;
        if (std::getline(in, name)) {
            names.push_back(name);
        }
    }
    return names;
}

} // namespace clavio::testing
