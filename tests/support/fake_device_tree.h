// Folders standing in for /dev/input, /sys and /dev, with FIFOs where device nodes
// would be and the sysfs attributes the readers look at (the IIO device's from
// tests/data/platform/iio_accel). Tests write records into the FIFOs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace clavio::testing {

// What stands where a device node should be: a FIFO the test writes into,
// nothing, or a socket (open() fails, even for root).
enum class FakeNode { fifo, missing, unopenable };

class FakeDeviceTree {
public:
    FakeDeviceTree();
    std::filesystem::path inputRoot() const { return _tmp / "input"; }
    std::filesystem::path sysRoot() const { return _tmp / "sys"; }
    std::filesystem::path devRoot() const { return _tmp / "dev"; }

    // A keyboard "eventN" (all keys, a touchpad button); `held` is what a resync reads.
    std::filesystem::path addKeyboard(int n, const std::string& name = "Fake Keyboard",
                                      const std::vector<int>& held = {},
                                      FakeNode node = FakeNode::fifo);
    std::filesystem::path addMouse(int n); // buttons only: no keyboard
    // An evdev accelerometer; the axes report `resolution` units per g.
    std::filesystem::path addEvdevAccelerometer(int n, int resolution);
    std::filesystem::path addHidraw(int n, const std::vector<std::uint8_t>& descriptor,
                                    const std::string& uevent, FakeNode node = FakeNode::fifo);
    // iio:deviceN: x, y, z as le:s16/16>>0, a timestamp, this scale and frequency list.
    std::filesystem::path
    addIioAccelerometer(int n, const std::string& scale = "0.0095768",
                        const std::string& available = "12.5 25 50 100 200 400 800 1600",
                        FakeNode node = FakeNode::fifo);
    std::filesystem::path iioDir(int n) const;

private:
    std::filesystem::path node(const std::filesystem::path& path, FakeNode kind);
    std::filesystem::path evdev(int n, const nlohmann::json& sidecar, FakeNode kind);
    TempDir _tmp;
};

// The writing end of a fake node's FIFO; opening waits up to 5 s for the reader.
class FifoWriter {
public:
    explicit FifoWriter(const std::filesystem::path& fifo);
    ~FifoWriter() { close(); }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    bool isOpen() const { return _fd >= 0; }
    void write(const void* data, std::size_t size);
    // One input_event record; key() writes EV_KEY and SYN_REPORT in one write.
    void event(std::uint16_t type, std::uint16_t code, std::int32_t value);
    void key(std::uint16_t code, std::int32_t value);
    // Waits (up to 5 s) until the reader has taken everything written.
    bool waitDrained();
    // Writes one report and waits until it was read (as from a hidraw node).
    void report(const std::vector<std::uint8_t>& bytes);
    void close();

private:
    int _fd = -1;
};

// Waits up to `seconds` for `condition`, checking every millisecond.
template <typename Condition> bool waitFor(Condition condition, double seconds = 5.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

// The 22-byte report with x, y, z as signed 32-bit little-endian at 6, 10, 14.
std::vector<std::uint8_t> accelReport(std::int32_t x, std::int32_t y, std::int32_t z,
                                      std::size_t length = 22);

double processCpuSeconds();             // CPU time used by this process so far
std::vector<std::string> threadNames(); // the kernel names of this process's threads

} // namespace clavio::testing
