// `clavio-cli devices` against fake device trees.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/fake_device_tree.h"

using namespace clavio::testing;

namespace {

struct Run {
    int status = -1;
    std::string output;
};

Run devices(const FakeDeviceTree& tree) {
    const std::string command =
        std::string(CLAVIO_BUILD_DIR) + "/bin/clavio-cli devices" + " --input-root '" +
        tree.inputRoot().string() + "'" + " --sys-root '" + tree.sysRoot().string() + "'" +
        " --dev-root '" + tree.devRoot().string() + "'" + " --described-devices --wait 0.2 2>&1";
    Run run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, n);
    }
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

bool has(const Run& run, const std::string& text) {
    return run.output.find(text) != std::string::npos;
}

} // namespace

TEST(DevicesCommand, ListsKeyboardsServicesTheChosenOneAndTheRunningStatus) {
    FakeDeviceTree tree;
    tree.addKeyboard(0, "Fake Keyboard");
    tree.addKeyboard(1, "Locked", {}, FakeNode::unopenable);
    tree.addMouse(2);
    tree.addHidraw(0, {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0}, "HID_NAME=USB Keyboard\n");
    tree.addHidraw(1, {0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0xC0},
                   "HID_NAME=Motion\nHID_ID=0018:000005AC:00008104\n");
    const auto run = devices(tree);
    const std::string dev = tree.devRoot().string();
    const std::string input = tree.inputRoot().string();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(has(run, input + "/event0  \"Fake Keyboard\"  readable")) << run.output;
    EXPECT_TRUE(has(run, input + "/event1  cannot be opened:")) << run.output;
    EXPECT_FALSE(has(run, "event2")) << run.output;
    EXPECT_TRUE(has(run, "Keyboard access: granted")) << run.output;
    EXPECT_TRUE(has(run, "  hidraw:" + dev + "/hidraw0  PrimaryUsage=6  PrimaryUsagePage=1"))
        << run.output;
    EXPECT_TRUE(has(run, "* hidraw:" + dev +
                             "/hidraw1  PrimaryUsage=3  PrimaryUsagePage=65280"
                             "  Product=\"Motion\"  ProductID=33028"))
        << run.output;
    EXPECT_TRUE(has(run, "Chosen accelerometer: hidraw:" + dev + "/hidraw1")) << run.output;
    EXPECT_TRUE(has(run, "Sensor status after 0.2 s: running (0 samples)")) << run.output;
}

TEST(DevicesCommand, AnEmptyMachineReportsWhatIsMissing) {
    FakeDeviceTree tree;
    const auto run = devices(tree);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(has(run, "Keyboard access: not granted")) << run.output;
    EXPECT_TRUE(has(run, "sudo usermod -aG input $USER")) << run.output;
    EXPECT_TRUE(has(run, "Chosen accelerometer: none")) << run.output;
    EXPECT_TRUE(has(run, "Sensor status after 0.2 s: unavailable (0 samples)")) << run.output;
}
