// `clavio-cli devices` on fake device trees says how each accelerometer is
// read and at what rate, or why it cannot be and what to do.
#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio::testing;

namespace {

const std::string kScale = "0.009576806640625";

std::string devices(const FakeDeviceTree& tree) {
    const auto run = runClavioCli({"devices", "--wait", "0.3", "--input-root",
                                   tree.inputRoot().string(), "--sys-root",
                                   tree.sysRoot().string(), "--dev-root", tree.devRoot().string(),
                                   "--described-devices"});
    EXPECT_EQ(run.status, 0) << run.output;
    return run.output;
}

void expectLines(const std::string& output, const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        EXPECT_NE(output.find(line), std::string::npos) << line << "\n" << output;
    }
}

} // namespace

TEST(CliSensorAccess, NamesTheReadModeAndRateOrWhatToDo) {
    FakeDeviceTree polled;
    polled.addIioAccelerometer(0, kScale, "400 800",
                               {{"in_accel_x_raw", "0"}, {"in_accel_y_raw", "0"},
                                {"in_accel_z_raw", "1024"}},
                               FakeNode::unopenable);
    const std::string out = devices(polled);
    expectLines(out, {"ReadMode=\"polling\"  SampleRate=250",
                      "    Read by polling in_accel_*_raw at 250 Hz: the buffer could not be used",
                      "Sensor status after 0.3 s: running ("});
    EXPECT_EQ(out.find("running (0 samples)"), std::string::npos) << out;

    FakeDeviceTree buffered;
    buffered.addIioAccelerometer(0, kScale);
    expectLines(devices(buffered), {"ReadMode=\"buffer\"  SampleRate=800",
                                    "    Read through the IIO buffer at 800 Hz."});

    FakeDeviceTree locked;
    locked.addIioAccelerometer(0, kScale, "100", {}, FakeNode::unopenable);
    expectLines(devices(locked),
                {"    Cannot be read (in_accel_x_raw: No such file or directory). Install the "
                 "udev rule ",
                 "70-clavio-accelerometer.rules",
                 "`sudo udevadm control --reload && sudo udevadm trigger`",
                 "Sensor status after 0.3 s: accessDenied"});

    FakeDeviceTree evdev;
    evdev.addEvdevAccelerometer(3, 256);
    expectLines(devices(evdev), {"ReadMode=\"evdev\"", "/event3 (evdev)."});

    FakeDeviceTree none;
    expectLines(devices(none), {"No accelerometer: every key plays at a fixed strength."});
}
