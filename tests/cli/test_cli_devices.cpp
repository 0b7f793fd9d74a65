// `clavio-cli devices` and `record` against fake device trees: evdev records
// and hidraw reports written into FIFOs come out as a listing or a trace.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <linux/input.h>
#include <signal.h>

#include "engine/core/core_types.h"
#include "engine/replay/session_trace.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

const std::vector<std::uint8_t> kAccelDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0xC0};
const std::string kAccelUevent = "HID_NAME=Motion\nHID_ID=0018:000005AC:00008104\n";

std::vector<std::string> withRoots(const FakeDeviceTree& tree, std::vector<std::string> args) {
    args.insert(args.end(),
                {"--input-root", tree.inputRoot().string(), "--sys-root", tree.sysRoot().string(),
                 "--dev-root", tree.devRoot().string(), "--described-devices"});
    return args;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// `clavio-cli record` into `out` until `seconds` or a signal.
std::vector<std::string> record(const FakeDeviceTree& tree, const std::filesystem::path& out,
                                std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"record", "--out", out.string()});
    return withRoots(tree, extra);
}

std::vector<TraceRecord> records(const std::filesystem::path& trace) {
    std::vector<TraceRecord> out;
    const auto error = readTrace(trace, out);
    EXPECT_FALSE(error) << error->text();
    return out;
}

} // namespace

TEST(CliDevices, ListsKeyboardsServicesTheChosenOneAndTheRunningStatus) {
    FakeDeviceTree empty, tree;
    tree.addKeyboard(0, "Fake Keyboard");
    tree.addKeyboard(1, "Locked", {}, FakeNode::unopenable);
    tree.addHidraw(0, {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0}, "HID_NAME=USB Keyboard\n");
    tree.addHidraw(1, kAccelDescriptor, kAccelUevent);
    const std::string dev = tree.devRoot().string(), input = tree.inputRoot().string();
    // The capture devices come from the sound system SDL_AUDIODRIVER names:
    // PulseAudio with no server lists none, the disk driver its one source.
    TempDir noServer;
    ScopedEnv pulseServer("PULSE_SERVER", "unix:" + (noServer / "none").string());
    const std::tuple<const FakeDeviceTree*, const char*, std::vector<std::string>> listings[] = {
        {&empty,
         "pulseaudio",
         {"Keyboard access: not granted", "sudo usermod -aG input $USER",
          "Chosen accelerometer: none", "Sensor status after 0.2 s: unavailable (0 samples)",
          "Capture devices", "  (none: no sound server"}},
        {&tree,
         "disk",
         {input + "/event0  \"Fake Keyboard\"  readable",
          input + "/event1  cannot be opened:", "Keyboard access: granted",
          "  hidraw:" + dev + "/hidraw0  PrimaryUsage=6  PrimaryUsagePage=1",
          "* hidraw:" + dev + "/hidraw1  PrimaryUsage=3  PrimaryUsagePage=65280  " +
              "Product=\"Motion\"  ProductID=33028",
          "Chosen accelerometer: hidraw:" + dev + "/hidraw1",
          "Sensor status after 0.2 s: running (0 samples)", "  \"System audio capture device\""}}};
    for (const auto& [listed, driver, lines] : listings) {
        ScopedEnv sound("SDL_AUDIODRIVER", driver);
        const auto run = runClavioCli(withRoots(*listed, {"devices", "--wait", "0.2"}));
        EXPECT_EQ(run.status, 0) << run.output;
        for (const auto& line : lines) {
            EXPECT_TRUE(has(run.output, line)) << line << "\n" << run.output;
        }
    }
}

TEST(CliRecord, RecordsKeysAndReportsMergedInTimeOrderUntilCtrlC) {
    FakeDeviceTree tree;
    tree.addKeyboard(0);
    tree.addHidraw(1, kAccelDescriptor, kAccelUevent);
    TempDir dir;
    const auto out = dir / "session.jsonl";
    ChildProcess cli(clavioCli(), record(tree, out));
    FifoWriter keyboard(tree.inputRoot() / "event0");
    FifoWriter accel(tree.devRoot() / "hidraw1");
    ASSERT_TRUE(keyboard.isOpen() && accel.isOpen()) << cli.output();
    // Each step waits until it was read and a little more, so the expected
    // order is the order of the stamps. A key step is (code, value).
    const std::vector<std::vector<std::uint8_t>> steps = {accelReport(65536, 0, 0),
                                                          {KEY_LEFTSHIFT, 1},
                                                          {KEY_A, 1},
                                                          {KEY_A, 2},
                                                          accelReport(0, -65536, 0),
                                                          {KEY_A, 0},
                                                          {KEY_LEFTSHIFT, 0},
                                                          accelReport(0, 0, 65536, 21),
                                                          {KEY_SPACE, 1}};
    for (const auto& step : steps) {
        if (step.size() == 2) {
            keyboard.key(step[0], step[1]);
            keyboard.waitDrained();
        } else {
            accel.report(step);
        }
        std::this_thread::sleep_for(25ms);
    }
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
        EXPECT_EQ(std::tie(recorded[i].type, recorded[i].key, recorded[i].accel),
                  std::tie(expected[i].type, expected[i].key, expected[i].accel))
            << "record " << i;
        // At least the pause between steps, on the monotonic clock in ns.
        EXPECT_TRUE(i == 0 || recorded[i].t > recorded[i - 1].t + 10'000'000) << "record " << i;
    }
}

TEST(CliRecord, RecordsWhatItCanForTheGivenSecondsAndNeverOverwritesByDefault) {
    TempDir dir;
    FakeDeviceTree keysOnly, sensorOnly, empty;
    keysOnly.addKeyboard(0);
    sensorOnly.addHidraw(0, kAccelDescriptor, kAccelUevent);
    ChildProcess keys(clavioCli(), record(keysOnly, dir / "k.jsonl", {"--seconds", "0.6"}));
    ChildProcess motion(clavioCli(), record(sensorOnly, dir / "m.jsonl", {"--seconds", "0.6"}));
    FifoWriter keyboard(keysOnly.inputRoot() / "event0"), accel(sensorOnly.devRoot() / "hidraw0");
    keyboard.key(KEY_B, 1);
    accel.report(accelReport(1, 2, 3));
    ASSERT_EQ(keys.wait(), 0) << keys.output();
    ASSERT_EQ(motion.wait(), 0) << motion.output();
    EXPECT_TRUE(has(keys.output(), "no accelerometer found")) << keys.output();
    EXPECT_TRUE(has(motion.output(), "no keyboard can be read")) << motion.output();
    const auto k = records(dir / "k.jsonl"), m = records(dir / "m.jsonl");
    ASSERT_EQ(std::pair(k.size(), m.size()), (std::pair<std::size_t, std::size_t>(1, 1)));
    EXPECT_EQ(k[0].key, (TraceKey{TraceKeyKind::down, 11, 0, false}));
    EXPECT_EQ(m[0].accel, accelReport(1, 2, 3));

    // Refusals come before recording (--seconds only bounds a failing test) and
    // leave no file; an existing file is somebody's recording, kept unless --force.
    TempDir out;
    writeFile(out / "kept.jsonl", "precious");
    const std::tuple<const FakeDeviceTree*, const char*, const char*> refusals[] = {
        {&empty, "x", "nothing to record"},
        {&keysOnly, "missing/x", "does not exist"},
        {&keysOnly, ".", "is a folder"},
        {&keysOnly, "kept.jsonl", "already exists"}};
    for (const auto& [tree, file, message] : refusals) {
        const auto run = runClavioCli(record(*tree, out / file, {"--seconds", "5"}));
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_TRUE(has(run.output, message)) << run.output;
    }
    EXPECT_EQ(readFile(out / "kept.jsonl"), "precious");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 1);
    const auto run =
        runClavioCli(record(keysOnly, out / "kept.jsonl", {"--seconds", "0.2", "--force"}));
    EXPECT_EQ(run.status, 0) << run.output;
    records(out / "kept.jsonl");
    struct stat st {};
    ASSERT_EQ(::stat((out / "kept.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a trace logs every key code: its owner's only";

    // A file made under the name while recording is kept, not replaced.
    ChildProcess late(clavioCli(), record(keysOnly, out / "late.jsonl", {"--seconds", "0.5"}));
    while (!has(late.output(), "Recording") && late.wait(0.01) < 0) {
    }
    writeFile(out / "late.jsonl", "made meanwhile");
    EXPECT_EQ(late.wait(), 1) << late.output();
    EXPECT_TRUE(has(late.output(), "left as it is")) << late.output();
    EXPECT_EQ(readFile(out / "late.jsonl"), "made meanwhile");
}

TEST(CliRecord, MicrophoneOnlyWhenAskedSaysSoAndItsSamplesComeBackFromTheTrace) {
    FakeDeviceTree tree;
    TempDir dir;
    std::vector<float> ramp(4800); // what SDL's disk driver captures, then silence
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = float(i % 100) / 100.0f - 0.5f;
    }
    writeFile(dir / "in.raw", std::string(reinterpret_cast<const char*>(ramp.data()), 4 * 4800));
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv in("SDL_DISKAUDIOFILEIN", (dir / "in.raw").string());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "5");
    const auto run = runClavioCli(record(tree, dir / "mic.jsonl", {"--mic", "--seconds", "0.4"}));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(has(run.output, "Recording the microphone (the system default source) at 48000 Hz"))
        << run.output;
    const auto check = runClavioCli({"trace-check", (dir / "mic.jsonl").string()});
    EXPECT_TRUE(has(check.output, "mic blocks:") && has(check.output, "at 48000 Hz")) << check.output;
    std::vector<float> heard;
    for (const auto& record : records(dir / "mic.jsonl")) {
        heard.insert(heard.end(), record.mic.begin(), record.mic.end());
    }
    ASSERT_GE(heard.size(), ramp.size());
    EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), heard.begin()));

    // Asked for and not there: one line, status 1, no file.
    ScopedEnv pulse("SDL_AUDIODRIVER", "pulseaudio");
    ScopedEnv server("PULSE_SERVER", "unix:" + (dir / "none").string());
    const auto failed = runClavioCli(record(tree, dir / "no.jsonl", {"--mic", "--seconds", "1"}));
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(has(failed.output, "clavio-cli: microphone not started: the sound system cannot "
                                   "be reached"))
        << failed.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "no.jsonl"));
}
