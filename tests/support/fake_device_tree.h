// A fake device tree for the device readers: folders standing in for
// /dev/input, /sys and /dev, with FIFOs where device nodes would be and the
// sysfs attributes the readers look at (the IIO device's come from
// tests/data/platform/iio_accel). Tests write evdev records, raw HID reports
// and IIO scans into the FIFOs and the real reading code reads them.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace clavio::testing {

// What stands where a device node should be.
enum class FakeNode {
    fifo,       // readable; the test writes into it
    missing,    // nothing there
    unopenable, // a socket: open() fails, even for root
};

class FakeDeviceTree {
public:
    FakeDeviceTree();
    ~FakeDeviceTree();
    std::filesystem::path inputRoot() const { return _tmp / "input"; }
    std::filesystem::path sysRoot() const { return _tmp / "sys"; }
    std::filesystem::path devRoot() const { return _tmp / "dev"; }

    // An evdev keyboard "eventN" with every key of a full keyboard and a
    // touchpad button; `held` is the key state a resynchronisation reads.
    std::filesystem::path addKeyboard(int n, const std::string& name = "Fake Keyboard",
                                      const std::vector<int>& held = {},
                                      FakeNode node = FakeNode::fifo);
    // An evdev device that is no keyboard (a mouse: buttons only).
    std::filesystem::path addMouse(int n);
    // An evdev accelerometer; the axes report `resolution` units per g.
    std::filesystem::path addEvdevAccelerometer(int n, int resolution);
    // hidraw N with the given report descriptor and uevent text.
    std::filesystem::path addHidraw(int n, const std::vector<std::uint8_t>& descriptor,
                                    const std::string& uevent, FakeNode node = FakeNode::fifo);
    // iio:deviceN with x, y, z as "le:s16/16>>0" at indices 0..2, a timestamp
    // channel at index 3, the given scale and frequency list. `overrides`
    // replaces or adds attribute files (path relative to the device folder).
    std::filesystem::path
    addIioAccelerometer(int n, const std::string& scale = "0.0095768",
                        const std::string& available = "12.5 25 50 100 200 400 800 1600",
                        const std::map<std::string, std::string>& overrides = {},
                        FakeNode node = FakeNode::fifo);
    std::filesystem::path iioDir(int n) const;

    // A FIFO for FakeNode::fifo, nothing otherwise.
    static void makeNode(const std::filesystem::path& path, FakeNode kind);

private:
    std::filesystem::path node(const std::filesystem::path& path, FakeNode kind);
    TempDir _tmp;
    std::vector<int> _sockets;
};

// The writing end of a fake node's FIFO. Opening waits (up to 5 s) until the
// reader has opened its end.
class FifoWriter {
public:
    explicit FifoWriter(const std::filesystem::path& fifo);
    ~FifoWriter() { close(); }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    bool isOpen() const { return _fd >= 0; }
    void write(const void* data, std::size_t size);
    // One struct input_event record.
    void event(std::uint16_t type, std::uint16_t code, std::int32_t value);
    // EV_KEY then SYN_REPORT.
    void key(std::uint16_t code, std::int32_t value);
    // Waits (up to 5 s) until the reader has taken everything written.
    bool waitDrained();
    // Writes one report and waits until it was read, so that a reader that
    // takes whatever is there gets exactly this report (as from a hidraw node).
    void report(const std::vector<std::uint8_t>& bytes);
    void close();

private:
    int _fd = -1;
};

// Waits up to `seconds` for `condition`, checking every millisecond.
template <typename Condition> bool waitFor(Condition condition, double seconds = 5.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The 22-byte report with x, y, z as signed 32-bit little-endian at 6, 10, 14.
std::vector<std::uint8_t> accelReport(std::int32_t x, std::int32_t y, std::int32_t z,
                                      std::size_t length = 22);

// CPU time used by this process so far, in seconds.
double processCpuSeconds();

// The kernel names of this process's threads.
std::vector<std::string> threadNames();

} // namespace clavio::testing
