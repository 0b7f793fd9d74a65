// `clavio-cli devices` on fake device trees says how each accelerometer is
// read and at what rate, or why it cannot be and what to do.
#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio::testing;

namespace {

void expectDevicesSay(const FakeDeviceTree& tree, const std::vector<std::string>& lines) {
    const auto run = runClavioCli({"devices", "--wait", "0.3", "--input-root",
                                   tree.inputRoot().string(), "--sys-root", tree.sysRoot().string(),
                                   "--dev-root", tree.devRoot().string(), "--described-devices"});
    EXPECT_EQ(run.status, 0) << run.output;
    for (const auto& line : lines) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
}

} // namespace

TEST(CliSensorAccess, NamesTheReadModeAndRateOrWhatToDo) {
    const std::string scale = "0.009576806640625";
    FakeDeviceTree polled, buffered, locked, evdev, none;
    polled.addIioAccelerometer(0, scale, "400 800", FakeNode::unopenable);
    for (const auto& [axis, raw] : {std::pair{"x", "0"}, {"y", "0"}, {"z", "1024"}}) {
        writeFile(polled.iioDir(0) / ("in_accel_" + std::string(axis) + "_raw"), raw);
    }
    expectDevicesSay(polled, {"ReadMode=\"polling\"  SampleRate=250",
                              "    Read by polling in_accel_*_raw at 250 Hz: the buffer could not",
                              "Sensor status after 0.3 s: running ("});
    buffered.addIioAccelerometer(0, scale);
    expectDevicesSay(buffered, {"ReadMode=\"buffer\"  SampleRate=800",
                                "    Read through the IIO buffer at 800 Hz."});
    locked.addIioAccelerometer(0, scale, "100", FakeNode::unopenable);
    expectDevicesSay(locked, {"    Cannot be read (in_accel_x_raw: No such file or directory). "
                              "Install the udev rule ",
                              "70-clavio-accelerometer.rules",
                              "`sudo udevadm control --reload && sudo udevadm trigger`",
                              "Sensor status after 0.3 s: accessDenied"});
    evdev.addEvdevAccelerometer(3, 256);
    expectDevicesSay(evdev, {"ReadMode=\"evdev\"", "/event3 (evdev)."});
    expectDevicesSay(none, {"No accelerometer: every key plays at a fixed strength."});
}
