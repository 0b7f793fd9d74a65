// The key tap callback, the capture thread and the keyboard front over fake
// sources; the front over the evdev source is tested in the platform suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/core/core_types.h"
#include "engine/keyboard/key_tap.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_timeline.h"
#include "tests/support/fake_device_tree.h"

using namespace clavio;
using clavio::testing::waitFor;
using namespace std::chrono_literals;

namespace {

struct Delivered {
    bool down;
    TCAKeyEvent event;
    bool operator==(const Delivered&) const = default;
};

class KeyTap : public ::testing::Test {
protected:
    void SetUp() override {
        _previousClock = setClockSource(&clock);
        tca_set_previous_flags(0);
        handlers.keyDown.set([this](TCAKeyEvent e) { delivered.push_back({true, e}); });
        handlers.keyUp.set([this](TCAKeyEvent e) { delivered.push_back({false, e}); });
    }
    void TearDown() override { setClockSource(_previousClock); }

    void send(TCATapEventType type, std::uint16_t code, std::uint64_t flags, bool repeat = false) {
        tca_key_tap_callback(handlers, {type, code, flags, repeat});
    }
    void flags(std::uint16_t code, std::uint64_t rawFlags) {
        send(TCATapEventType::flagsChanged, code, rawFlags);
    }

    VirtualClock clock{5000};
    TCAKeyHandlers handlers;
    std::vector<Delivered> delivered;

private:
    ClockSource* _previousClock = nullptr;
};

std::shared_ptr<KeySource> replaying(const std::string& records) {
    std::optional<TraceError> error;
    auto timeline = ReplayTimeline::fromText(
        "{\"format\":\"clavio-trace\",\"version\":1}\n" + records, "keys", error);
    EXPECT_TRUE(timeline) << (error ? error->text() : "");
    return std::make_shared<ReplayKeySource>(timeline);
}

} // namespace

TEST_F(KeyTap, ModifierChangesArePressesWhenAMaskedBitIsAddedAndCapsLockAlwaysIs) {
    flags(56, 0x20000);             // shift down
    flags(55, 0x120000);            // command down
    flags(56, 0x100000);            // shift up
    flags(55, 0);                   // command up
    flags(56, 0x20000 | 0x102);     // device-dependent bits are dropped
    flags(56, 0x20000 | 0x1000000); // so is a bit above the mask: equal masked flags, a release
    EXPECT_EQ(delivered, (std::vector<Delivered>{{true, {56, 0x20000, 5000, false}},
                                                 {true, {55, 0x120000, 5000, false}},
                                                 {false, {56, 0x100000, 5000, false}},
                                                 {false, {55, 0, 5000, false}},
                                                 {true, {56, 0x20000, 5000, false}},
                                                 {false, {56, 0x20000, 5000, false}}}));
    EXPECT_EQ(tca_previous_flags(), 0x20000u);
    // Caps lock with its bit set is always a press, even with the same flags.
    delivered.clear();
    flags(56, 0x30000); // shift with caps lock on: press
    flags(57, 0x30000); // caps lock again, same flags: still a press
    flags(57, 0x20000); // caps lock turned off: bit gone, a release
    flags(56, 0x10000); // another key with the caps bit, fewer flags: release
    ASSERT_EQ(delivered.size(), 4u);
    EXPECT_TRUE(delivered[0].down && delivered[1].down && !delivered[2].down && !delivered[3].down);
}

TEST_F(KeyTap, KeyEventsCarryMaskedFlagsRepeatAndTheClockAndOnlyReachExistingHandlers) {
    send(TCATapEventType::keyDown, 0, 0x20000 | 0xFF);
    clock.advance(100);
    send(TCATapEventType::keyDown, 0, 0, true);
    clock.advance(100);
    // A source that wrongly marks a key-up as a repeat still yields a plain key-up.
    send(TCATapEventType::keyUp, 0, 0, true);
    EXPECT_EQ(delivered, (std::vector<Delivered>{{true, {0, 0x20000, 5000, false}},
                                                 {true, {0, 0, 5100, true}},
                                                 {false, {0, 0, 5200, false}}}));
    EXPECT_EQ(tca_previous_flags(), 0u) << "key events leave the modifier history alone";
    delivered.clear(); // missing handlers and disabled notifications deliver nothing
    handlers.keyUp.set(nullptr);
    send(TCATapEventType::keyUp, 3, 0);
    flags(56, 0); // a release with no key-up handler
    for (auto type : {TCATapEventType::tapDisabledByTimeout,
                      TCATapEventType::tapDisabledByUserInput, static_cast<TCATapEventType>(14)}) {
        send(type, 0, 0x20000);
    }
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(tca_previous_flags(), 0u);
    std::vector<TCAKeyEvent> other; // a replaced handler serves the following events
    handlers.keyDown.set([&](TCAKeyEvent e) { other.push_back(e); });
    send(TCATapEventType::keyDown, 7, 0);
    EXPECT_EQ(other.size(), 1u);
    EXPECT_TRUE(delivered.empty());
}

TEST(KeyboardCapture, HandlerMayDropTheLastReferenceOnTheCaptureThread) {
    auto manager = KeyboardCaptureManager::create(
        replaying("{\"t\":0,\"key\":\"down\",\"code\":0,\"flags\":0,\"repeat\":false}\n"));
    std::shared_ptr<KeyboardCaptureManager> holder = manager;
    std::atomic<int> calls{0};
    manager->setOnKeyDown([&](const KeyEvent&) {
        holder.reset();
        ++calls; // after the reset, so the test sees it done
    });
    ASSERT_TRUE(manager->start());
    manager.reset();
    ASSERT_TRUE(waitFor([&] { return calls.load() == 1; }));
    std::this_thread::sleep_for(50ms); // the thread was told to stop and ends by itself
    EXPECT_EQ(calls.load(), 1);
}
