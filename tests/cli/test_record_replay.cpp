// A session recorded by `clavio-cli record` and replayed through
// ReplayKeySource and the real keyboard capture gives the key events that
// live capture of the same typing gives.
#include <gtest/gtest.h>

#include <linux/input.h>
#include <signal.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "tests/support/child_process.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_key_source.h"
#include "platform/linux/input/evdev_key_source.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

struct Seen {
    bool down;
    KeyEvent event;
};

class Collector {
public:
    void attach(KeyboardCaptureManager& manager) {
        manager.setOnKeyDown([this](const KeyEvent& e) { add(true, e); });
        manager.setOnKeyUp([this](const KeyEvent& e) { add(false, e); });
    }
    std::vector<Seen> seen() {
        std::lock_guard lock(_m);
        return _seen;
    }

private:
    void add(bool down, const KeyEvent& e) {
        std::lock_guard lock(_m);
        _seen.push_back({down, e});
    }
    std::mutex _m;
    std::vector<Seen> _seen;
};

// Shifted letters with an autorepeat, caps lock on and off, a right-hand
// modifier chord, an arrow and a function key.
const std::pair<std::uint16_t, std::int32_t> kTyping[] = {
    {KEY_LEFTSHIFT, 1}, {KEY_H, 1},         {KEY_H, 2},        {KEY_H, 0},    {KEY_LEFTSHIFT, 0},
    {KEY_CAPSLOCK, 1},  {KEY_CAPSLOCK, 0},  {KEY_I, 1},        {KEY_I, 0},    {KEY_CAPSLOCK, 1},
    {KEY_CAPSLOCK, 0},  {KEY_RIGHTCTRL, 1}, {KEY_RIGHTALT, 1}, {KEY_LEFT, 1}, {KEY_LEFT, 0},
    {KEY_RIGHTCTRL, 0}, {KEY_RIGHTALT, 0},  {KEY_F5, 1},       {KEY_F5, 0},   {KEY_ENTER, 1},
    {KEY_ENTER, 0},
};
constexpr std::size_t kEvents = 19; // caps lock releases send nothing

void type(FifoWriter& keyboard) {
    for (const auto& [code, value] : kTyping) {
        keyboard.key(code, value);
        ASSERT_TRUE(keyboard.waitDrained());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
}

} // namespace

TEST(RecordReplay, ARecordedSessionReplaysToTheKeyEventsOfLiveCapture) {
    // Live capture of the typing.
    std::vector<Seen> live;
    {
        FakeDeviceTree tree;
        tree.addKeyboard(0);
        tca_set_previous_flags(0);
        auto manager = KeyboardCaptureManager::create(std::make_shared<platform::EvdevKeySource>(
            platform::EvdevKeySourceOptions{tree.inputRoot(), platform::makeSidecarEvdevProbe()}));
        Collector collector;
        collector.attach(*manager);
        ASSERT_TRUE(manager->start());
        FifoWriter keyboard(tree.inputRoot() / "event0");
        type(keyboard);
        ASSERT_TRUE(waitFor([&] { return collector.seen().size() >= kEvents; }));
        manager->stop();
        live = collector.seen();
    }
    ASSERT_EQ(live.size(), kEvents);

    // The same typing, recorded.
    TempDir dir;
    const auto trace = dir.path() / "typing.jsonl";
    {
        FakeDeviceTree tree;
        tree.addKeyboard(0);
        ChildProcess cli(clavioCli(),
                         {"record", "--out", trace.string(), "--input-root",
                          tree.inputRoot().string(), "--sys-root", tree.sysRoot().string(),
                          "--dev-root", tree.devRoot().string(), "--described-devices"});
        FifoWriter keyboard(tree.inputRoot() / "event0");
        type(keyboard);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cli.signal(SIGINT);
        ASSERT_EQ(cli.wait(), 0) << cli.output();
    }

    // Replayed through the real capture thread.
    std::optional<TraceError> error;
    auto timeline = ReplayTimeline::open(trace, error);
    ASSERT_TRUE(timeline) << error->text();
    tca_set_previous_flags(kFlagShift); // the replay starts from nothing held
    auto manager = KeyboardCaptureManager::create(std::make_shared<ReplayKeySource>(timeline));
    Collector collector;
    collector.attach(*manager);
    ASSERT_TRUE(manager->start());
    ASSERT_TRUE(waitFor([&] { return timeline->finished(); }));
    manager->stop();
    const auto replayed = collector.seen();

    std::vector<TraceRecord> records;
    ASSERT_FALSE(readTrace(trace, records));
    ASSERT_EQ(replayed.size(), live.size());
    ASSERT_EQ(records.size(), live.size());
    for (std::size_t i = 0; i < live.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(replayed[i].down, live[i].down);
        EXPECT_EQ(replayed[i].event.keyCode, live[i].event.keyCode);
        EXPECT_EQ(replayed[i].event.modifiers, live[i].event.modifiers);
        EXPECT_EQ(replayed[i].event.isRepeat, live[i].event.isRepeat);
        EXPECT_EQ(replayed[i].event.keyGroup, live[i].event.keyGroup);
        // Stamped with the due time: the recorded offsets, kept exactly.
        EXPECT_EQ(replayed[i].event.timestamp, timeline->dueTicks(records[i].t));
    }
}
