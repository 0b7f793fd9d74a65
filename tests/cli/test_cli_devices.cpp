// `clavio-cli devices` and `record` against fake device trees: evdev records
// and hidraw reports written into FIFOs come out as a listing or a session
// trace, and a recorded session replays through the real keyboard capture
// to the key events that live capture of the same typing gives.
#include <gtest/gtest.h>

#include <linux/input.h>
#include <signal.h>

#include <mutex>

#include "engine/core/core_types.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/session_trace.h"
#include "platform/linux/input/evdev_key_source.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

const std::vector<std::uint8_t> kAccelDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0xC0};
const std::string kAccelUevent = "HID_NAME=Motion\nHID_ID=0018:000005AC:00008104\n";

std::vector<std::string> withRoots(const FakeDeviceTree& tree, std::vector<std::string> args) {
    for (const std::string& arg :
         {std::string("--input-root"), tree.inputRoot().string(), std::string("--sys-root"),
          tree.sysRoot().string(), std::string("--dev-root"), tree.devRoot().string(),
          std::string("--described-devices")}) {
        args.push_back(arg);
    }
    return args;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<TraceRecord> records(const std::filesystem::path& trace) {
    std::vector<TraceRecord> out;
    const auto error = readTrace(trace, out);
    EXPECT_FALSE(error) << error->text();
    return out;
}

// Key events a capture manager delivers, in order.
struct Collector {
    std::mutex m;
    std::vector<std::pair<bool, KeyEvent>> seen;
    explicit Collector(KeyboardCaptureManager& manager) {
        manager.setOnKeyDown([this](const KeyEvent& e) { add(true, e); });
        manager.setOnKeyUp([this](const KeyEvent& e) { add(false, e); });
    }
    void add(bool down, const KeyEvent& e) {
        std::lock_guard lock(m);
        seen.emplace_back(down, e);
    }
    std::vector<std::pair<bool, KeyEvent>> events() {
        std::lock_guard lock(m);
        return seen;
    }
};

} // namespace

TEST(CliDevices, ListsKeyboardsServicesTheChosenOneAndTheRunningStatus) {
    FakeDeviceTree empty;
    auto run = runClavioCli(withRoots(empty, {"devices", "--wait", "0.2"}));
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* line : {"Keyboard access: not granted", "sudo usermod -aG input $USER",
                             "Chosen accelerometer: none",
                             "Sensor status after 0.2 s: unavailable (0 samples)"}) {
        EXPECT_TRUE(has(run.output, line)) << line << "\n" << run.output;
    }

    FakeDeviceTree tree;
    tree.addKeyboard(0, "Fake Keyboard");
    tree.addKeyboard(1, "Locked", {}, FakeNode::unopenable);
    tree.addMouse(2);
    tree.addHidraw(0, {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0}, "HID_NAME=USB Keyboard\n");
    tree.addHidraw(1, kAccelDescriptor, kAccelUevent);
    run = runClavioCli(withRoots(tree, {"devices", "--wait", "0.2"}));
    const std::string dev = tree.devRoot().string(), input = tree.inputRoot().string();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_FALSE(has(run.output, "event2")) << "a mouse is no keyboard";
    for (const std::string& line :
         {input + "/event0  \"Fake Keyboard\"  readable", input + "/event1  cannot be opened:",
          std::string("Keyboard access: granted"),
          "  hidraw:" + dev + "/hidraw0  PrimaryUsage=6  PrimaryUsagePage=1",
          "* hidraw:" + dev + "/hidraw1  PrimaryUsage=3  PrimaryUsagePage=65280  " +
              "Product=\"Motion\"  ProductID=33028",
          "Chosen accelerometer: hidraw:" + dev + "/hidraw1",
          std::string("Sensor status after 0.2 s: running (0 samples)")}) {
        EXPECT_TRUE(has(run.output, line)) << line << "\n" << run.output;
    }
}

TEST(CliRecord, RecordsKeysAndReportsMergedInTimeOrderUntilCtrlC) {
    FakeDeviceTree tree;
    tree.addKeyboard(0);
    tree.addHidraw(1, kAccelDescriptor, kAccelUevent);
    TempDir dir;
    const auto out = dir / "session.jsonl";
    ChildProcess cli(clavioCli(), withRoots(tree, {"record", "--out", out.string()}));
    FifoWriter keyboard(tree.inputRoot() / "event0");
    FifoWriter accel(tree.devRoot() / "hidraw1");
    ASSERT_TRUE(keyboard.isOpen() && accel.isOpen()) << cli.output();
    // Each step waits until it was read and a little more, so the expected
    // order is the order of the stamps.
    const auto key = [&](std::uint16_t code, std::int32_t value) {
        keyboard.key(code, value);
        keyboard.waitDrained();
        std::this_thread::sleep_for(25ms);
    };
    const auto report = [&](const std::vector<std::uint8_t>& bytes) {
        accel.report(bytes);
        std::this_thread::sleep_for(25ms);
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
    std::this_thread::sleep_for(100ms);
    cli.signal(SIGINT);
    ASSERT_EQ(cli.wait(), 0) << cli.output();
    EXPECT_TRUE(has(cli.output(), "Recorded 6 key events and 3 accelerometer reports"))
        << cli.output();
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
    };
    const auto recorded = records(out);
    ASSERT_EQ(recorded.size(), expected.size());
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(recorded[i].type, expected[i].type);
        EXPECT_EQ(recorded[i].key, expected[i].key);
        EXPECT_EQ(recorded[i].accel, expected[i].accel);
        // At least the pause between steps, on the monotonic clock in ns.
        EXPECT_TRUE(i == 0 || recorded[i].t > recorded[i - 1].t + 10'000'000);
    }
}

TEST(CliRecord, RecordsWhatItCanForTheGivenSecondsAndNeverOverwritesByDefault) {
    TempDir dir;
    FakeDeviceTree keysOnly, sensorOnly, empty;
    keysOnly.addKeyboard(0);
    sensorOnly.addHidraw(0, kAccelDescriptor, kAccelUevent);
    ChildProcess keys(clavioCli(), withRoots(keysOnly, {"record", "--out", (dir / "k.jsonl").string(),
                                                         "--seconds", "0.6"}));
    ChildProcess motion(clavioCli(), withRoots(sensorOnly, {"record", "--out",
                                                            (dir / "m.jsonl").string(),
                                                            "--seconds", "0.6"}));
    FifoWriter keyboard(keysOnly.inputRoot() / "event0"), accel(sensorOnly.devRoot() / "hidraw0");
    keyboard.key(KEY_B, 1);
    accel.report(accelReport(1, 2, 3));
    ASSERT_EQ(keys.wait(), 0) << keys.output();
    ASSERT_EQ(motion.wait(), 0) << motion.output();
    EXPECT_TRUE(has(keys.output(), "no accelerometer found")) << keys.output();
    EXPECT_TRUE(has(motion.output(), "no keyboard can be read")) << motion.output();
    ASSERT_EQ(records(dir / "k.jsonl").size(), 1u);
    EXPECT_EQ(records(dir / "k.jsonl")[0].key, (TraceKey{TraceKeyKind::down, 11, 0, false}));
    ASSERT_EQ(records(dir / "m.jsonl").size(), 1u);
    EXPECT_EQ(records(dir / "m.jsonl")[0].accel, accelReport(1, 2, 3));

    // Refusals come before recording: --seconds only bounds a failing test.
    TempDir out;
    const auto record = [&](const FakeDeviceTree& tree, const std::string& file,
                            std::vector<std::string> extra = {"--seconds", "5"}) {
        extra.insert(extra.begin(), {"record", "--out", (out / file).string()});
        return runClavioCli(withRoots(tree, extra));
    };
    auto run = record(empty, "x");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(has(run.output, "nothing to record")) << run.output;
    run = record(keysOnly, "missing/x");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(has(run.output, "cannot write")) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(out.path())) << "no trace and no temporary file";
    // An existing file is somebody's recording: kept unless --force.
    writeFile(out / "kept.jsonl", "precious");
    run = record(keysOnly, "kept.jsonl");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(has(run.output, "already exists")) << run.output;
    EXPECT_EQ(readFile(out / "kept.jsonl"), "precious");
    run = record(keysOnly, "kept.jsonl", {"--seconds", "0.2", "--force"});
    EXPECT_EQ(run.status, 0) << run.output;
    records(out / "kept.jsonl");
}

TEST(CliRecord, ARecordedSessionReplaysToTheKeyEventsOfLiveCapture) {
    // Shifted letters with an autorepeat, caps lock on and off, a right-hand
    // modifier chord, an arrow and a function key; caps lock releases send nothing.
    const std::pair<std::uint16_t, std::int32_t> typing[] = {
        {KEY_LEFTSHIFT, 1}, {KEY_H, 1},        {KEY_H, 2},         {KEY_H, 0},
        {KEY_LEFTSHIFT, 0}, {KEY_CAPSLOCK, 1}, {KEY_CAPSLOCK, 0},  {KEY_I, 1},
        {KEY_I, 0},         {KEY_CAPSLOCK, 1}, {KEY_CAPSLOCK, 0},  {KEY_RIGHTCTRL, 1},
        {KEY_RIGHTALT, 1},  {KEY_LEFT, 1},     {KEY_RIGHTCTRL, 0}, {KEY_RIGHTALT, 0},
        {KEY_F5, 1},        {KEY_ENTER, 1}};
    constexpr std::size_t kEvents = 16;
    auto type = [&](const FakeDeviceTree& tree) {
        FifoWriter keyboard(tree.inputRoot() / "event0");
        for (const auto& [code, value] : typing) {
            keyboard.key(code, value);
            keyboard.waitDrained();
            std::this_thread::sleep_for(3ms);
        }
    };
    FakeDeviceTree liveTree, recordTree;
    liveTree.addKeyboard(0);
    recordTree.addKeyboard(0);
    tca_set_previous_flags(0);
    auto live = KeyboardCaptureManager::create(std::make_shared<platform::EvdevKeySource>(
        platform::EvdevKeySourceOptions{liveTree.inputRoot(), platform::makeSidecarEvdevProbe()}));
    Collector liveEvents(*live);
    ASSERT_TRUE(live->start());
    type(liveTree);
    ASSERT_TRUE(waitFor([&] { return liveEvents.events().size() >= kEvents; }));
    live->stop();

    TempDir dir;
    const auto trace = dir / "typing.jsonl";
    {
        ChildProcess cli(clavioCli(), withRoots(recordTree, {"record", "--out", trace.string()}));
        type(recordTree);
        std::this_thread::sleep_for(100ms);
        cli.signal(SIGINT);
        ASSERT_EQ(cli.wait(), 0) << cli.output();
    }
    std::optional<TraceError> error;
    auto timeline = ReplayTimeline::open(trace, error);
    ASSERT_TRUE(timeline) << error->text();
    tca_set_previous_flags(kFlagShift); // the replay starts from nothing held
    auto replay = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    Collector replayEvents(*replay);
    ASSERT_TRUE(replay->start());
    ASSERT_TRUE(waitFor([&] { return timeline->finished(); }));
    replay->stop();

    const auto expected = liveEvents.events(), replayed = replayEvents.events();
    const auto recorded = records(trace);
    ASSERT_EQ(expected.size(), kEvents);
    ASSERT_EQ(replayed.size(), kEvents);
    ASSERT_EQ(recorded.size(), kEvents);
    for (std::size_t i = 0; i < kEvents; ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        const KeyEvent &a = replayed[i].second, &b = expected[i].second;
        EXPECT_EQ(replayed[i].first, expected[i].first);
        EXPECT_EQ(std::tie(a.keyCode, a.modifiers, a.isRepeat, a.keyGroup),
                  std::tie(b.keyCode, b.modifiers, b.isRepeat, b.keyGroup));
        // Stamped with the due time: the recorded offsets, kept exactly.
        EXPECT_EQ(a.timestamp, timeline->dueTicks(recorded[i].t));
    }
}
