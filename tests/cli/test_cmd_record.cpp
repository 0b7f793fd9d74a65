// `clavio-cli record` against fake device trees: evdev records and hidraw
// reports written into FIFOs come out as a session trace.
#include <gtest/gtest.h>

#include <linux/input.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/support/child_process.h"
#include "engine/core/core_types.h"
#include "engine/replay/session_trace.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

const std::vector<std::uint8_t> kAccelDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0xC0};

std::vector<std::string> recordArgs(const FakeDeviceTree& tree, const std::filesystem::path& out,
                                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"record",
                                     "--out",
                                     out.string(),
                                     "--input-root",
                                     tree.inputRoot().string(),
                                     "--sys-root",
                                     tree.sysRoot().string(),
                                     "--dev-root",
                                     tree.devRoot().string(),
                                     "--described-devices"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(RecordCommand, RecordsKeysAndReportsMergedInTimeOrderUntilCtrlC) {
    FakeDeviceTree tree;
    tree.addKeyboard(0);
    tree.addHidraw(1, kAccelDescriptor, "HID_NAME=Motion\nHID_ID=0018:000005AC:00008104\n");
    TempDir dir;
    const auto out = dir.path() / "session.jsonl";
    ChildProcess cli(clavioCli(), recordArgs(tree, out));
    ASSERT_TRUE(cli.started());
    FifoWriter keyboard(tree.inputRoot() / "event0");
    FifoWriter accel(tree.devRoot() / "hidraw1");
    ASSERT_TRUE(keyboard.isOpen() && accel.isOpen()) << cli.output();

    // Each step waits until it was read and a little more, so the expected
    // order is the order of the stamps.
    const auto key = [&](std::uint16_t code, std::int32_t value) {
        keyboard.key(code, value);
        ASSERT_TRUE(keyboard.waitDrained());
        settle();
    };
    const auto report = [&](const std::vector<std::uint8_t>& bytes) {
        accel.report(bytes);
        settle();
    };
    report(accelReport(65536, 0, 0));
    key(KEY_LEFTSHIFT, 1);
    key(KEY_A, 1);
    key(KEY_A, 2);
    report(accelReport(0, -65536, 0));
    key(KEY_A, 0);
    key(KEY_LEFTSHIFT, 0);
    report(accelReport(0, 0, 65536, 21));
    key(KEY_SPACE, 1);
    key(KEY_SPACE, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cli.signal(SIGINT);
    ASSERT_EQ(cli.wait(), 0) << cli.output();
    EXPECT_TRUE(contains(cli.output(), "Recorded 7 key events and 3 accelerometer reports"))
        << cli.output();

    std::vector<TraceRecord> records;
    const auto error = readTrace(out, records);
    ASSERT_FALSE(error) << error->text();
    const std::vector<TraceRecord> expected = {
        TraceRecord::makeAccel(0, accelReport(65536, 0, 0).data(), 22),
        TraceRecord::makeKey(0, {TraceKeyKind::flags, 56, kFlagShift, false}),
        TraceRecord::makeKey(0, {TraceKeyKind::down, 0, kFlagShift, false}),
        TraceRecord::makeKey(0, {TraceKeyKind::down, 0, kFlagShift, true}),
        TraceRecord::makeAccel(0, accelReport(0, -65536, 0).data(), 22),
        TraceRecord::makeKey(0, {TraceKeyKind::up, 0, kFlagShift, false}),
        TraceRecord::makeKey(0, {TraceKeyKind::flags, 56, 0, false}),
        TraceRecord::makeAccel(0, accelReport(0, 0, 65536, 21).data(), 21),
        TraceRecord::makeKey(0, {TraceKeyKind::down, 49, 0, false}),
        TraceRecord::makeKey(0, {TraceKeyKind::up, 49, 0, false}),
    };
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(records[i].type, expected[i].type);
        EXPECT_EQ(records[i].key, expected[i].key);
        EXPECT_EQ(records[i].accel, expected[i].accel);
        if (i > 0) {
            // At least the pause between steps, on the monotonic clock in ns.
            EXPECT_GT(records[i].t, records[i - 1].t + 10'000'000);
        }
    }

    const auto check = runClavioCli({"trace-check", out.string()});
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(contains(check.output, "key downs:        3 (1 autorepeat)")) << check.output;
    EXPECT_TRUE(contains(check.output, "accel reports:    3 (1 of the wrong length, skipped)"))
        << check.output;
}

TEST(RecordCommand, RecordsWhatItCanAndStopsAfterTheGivenSeconds) {
    FakeDeviceTree tree;
    tree.addKeyboard(0);
    TempDir dir;
    const auto out = dir.path() / "keys.jsonl";
    ChildProcess cli(clavioCli(), recordArgs(tree, out, {"--seconds", "0.6"}));
    FifoWriter keyboard(tree.inputRoot() / "event0");
    keyboard.key(KEY_B, 1);
    keyboard.key(KEY_B, 0);
    ASSERT_EQ(cli.wait(), 0) << cli.output();
    EXPECT_TRUE(contains(cli.output(), "no accelerometer found")) << cli.output();
    std::vector<TraceRecord> records;
    ASSERT_FALSE(readTrace(out, records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].key, (TraceKey{TraceKeyKind::down, 11, 0, false})); // KEY_B is 11

    // An accelerometer without a keyboard is recorded too.
    FakeDeviceTree sensorOnly;
    sensorOnly.addHidraw(0, kAccelDescriptor, "HID_NAME=Motion\n");
    const auto out2 = dir.path() / "motion.jsonl";
    ChildProcess cli2(clavioCli(), recordArgs(sensorOnly, out2, {"--seconds", "0.6"}));
    FifoWriter accel(sensorOnly.devRoot() / "hidraw0");
    accel.report(accelReport(1, 2, 3));
    ASSERT_EQ(cli2.wait(), 0) << cli2.output();
    EXPECT_TRUE(contains(cli2.output(), "no keyboard can be read")) << cli2.output();
    ASSERT_FALSE(readTrace(out2, records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].accel, accelReport(1, 2, 3));
}

TEST(RecordCommand, RefusesWithoutDevicesOrAWritableNewFileAndLeavesNothing) {
    TempDir dir;
    FakeDeviceTree empty;
    const auto out = dir.path() / "none.jsonl";
    auto run = runClavioCli(recordArgs(empty, out, {"--seconds", "5"}));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "nothing to record")) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no trace and no temporary file";

    FakeDeviceTree tree;
    tree.addKeyboard(0);
    run = runClavioCli(recordArgs(tree, dir.path() / "missing" / "x.jsonl", {"--seconds", "5"}));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "cannot write")) << run.output;

    // An existing file is somebody's recording: kept unless --force.
    const auto existing = dir.path() / "kept.jsonl";
    writeFile(existing, "precious");
    run = runClavioCli(recordArgs(tree, existing, {"--seconds", "5"}));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "already exists")) << run.output;
    EXPECT_EQ(readFile(existing), "precious");
    run = runClavioCli(recordArgs(tree, existing, {"--seconds", "0.2", "--force"}));
    EXPECT_EQ(run.status, 0) << run.output;
    std::vector<TraceRecord> records;
    EXPECT_FALSE(readTrace(existing, records));
}
