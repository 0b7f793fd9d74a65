// The key tap callback, the capture thread and the keyboard front over the
// offline key source and a replayed trace; the evdev source is tested in the
// platform suite.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/core/core_types.h"
#include "engine/keyboard/key_tap.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_timeline.h"
#include "tests/support/coordinator_rig.h"
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

} // namespace

TEST_F(KeyTap, ModifierChangesArePressesWhenAMaskedBitIsAddedAndReleasesOtherwise) {
    flags(56, 0x20000);  // shift down
    flags(55, 0x120000); // command down
    flags(56, 0x100000); // shift up
    flags(55, 0);        // command up
    flags(56, 0x20000 | 0x102);     // device-dependent bits are dropped
    flags(56, 0x20000 | 0x1000000); // so is a bit above the mask: equal masked flags, a release
    EXPECT_EQ(delivered, (std::vector<Delivered>{{true, {56, 0x20000, 5000, false}},
                                                 {true, {55, 0x120000, 5000, false}},
                                                 {false, {56, 0x100000, 5000, false}},
                                                 {false, {55, 0, 5000, false}},
                                                 {true, {56, 0x20000, 5000, false}},
                                                 {false, {56, 0x20000, 5000, false}}}));
    EXPECT_EQ(tca_previous_flags(), 0x20000u);
}

TEST_F(KeyTap, CapsLockWithItsBitSetIsAlwaysAPress) {
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
    for (auto type : {TCATapEventType::tapDisabledByTimeout, TCATapEventType::tapDisabledByUserInput,
                      static_cast<TCATapEventType>(14)}) {
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

namespace {

std::shared_ptr<KeySource> replaying(const std::string& records) {
    std::optional<TraceError> error;
    auto timeline = ReplayTimeline::fromText(
        "{\"format\":\"clavio-trace\",\"version\":1}\n" + records, "keys", error);
    EXPECT_TRUE(timeline) << (error ? error->text() : "");
    return std::make_shared<ReplayKeySource>(timeline);
}

// A source whose tap waits 50 ms, then reports that it can deliver no more.
struct EndingSource final : KeySource {
    bool hasAccess() override { return true; }
    void requestAccess() override {}
    std::unique_ptr<KeyEventTap> createTap() override {
        struct Ended final : KeyEventTap {
            bool runSlice(double, TapEventCallback, void*) override {
                std::this_thread::sleep_for(50ms);
                return false;
            }
            void interrupt() noexcept override {}
        };
        return std::make_unique<Ended>();
    }
};

} // namespace

TEST(KeyboardCapture, PermissionAndFailedTapFollowTheSource) {
    auto source = std::make_shared<clavio::testing::GatedKeySource>();
    auto manager = KeyboardCaptureManager::create(source);
    source->access = false;
    EXPECT_FALSE(manager->hasPermission());
    manager->requestPermission();
    EXPECT_EQ(source->requests, 1);
    clavio::testing::LogCapture log;
    EXPECT_FALSE(manager->start());
    EXPECT_EQ(log.count("[Clavio:Keyboard] Failed to create event tap"), 1u);
    source->access = true; // a failed start leaves no thread behind
    EXPECT_TRUE(manager->hasPermission());
    EXPECT_TRUE(manager->start());
    EXPECT_EQ(log.count("[Clavio:Keyboard] Event tap created and running"), 1u);
}

TEST(KeyboardCapture, ATapThatEndedKeepsItsThreadRegisteredUntilStop) {
    TCAKeyboardCapture capture(std::make_shared<EndingSource>());
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(waitFor([&] { return !capture.isRunning(); }));
    EXPECT_FALSE(capture.start()) << "the earlier thread is still registered";
    capture.stop();
    EXPECT_TRUE(capture.start());
}

TEST(KeyboardCapture, FrontAddsKeyGroupsAndStopsWithoutWaitingOutTheSlice) {
    auto manager = KeyboardCaptureManager::create(
        replaying("{\"t\":0,\"key\":\"down\",\"code\":123,\"flags\":0,\"repeat\":false}\n"
                  "{\"t\":1,\"key\":\"down\",\"code\":420,\"flags\":0,\"repeat\":false}\n"
                  "{\"t\":2,\"key\":\"down\",\"code\":49,\"flags\":131072,\"repeat\":true}\n"),
        30.0);
    std::mutex m;
    std::vector<std::tuple<KeyGroup, bool, std::uint32_t>> seen; // group, repeat, modifiers
    manager->setOnKeyDown([&](const KeyEvent& e) {
        std::lock_guard lock(m);
        seen.emplace_back(e.keyGroup, e.isRepeat, e.modifiers);
    });
    ASSERT_TRUE(manager->start());
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(m);
        return seen.size() == 3;
    }));
    EXPECT_EQ(seen, (decltype(seen){{KeyGroup::arrow, false, 0},
                                    {KeyGroup::other, false, 0},
                                    {KeyGroup::space, true, 0x20000}}));
    const auto before = std::chrono::steady_clock::now();
    manager->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "stop waited out the slice";
    EXPECT_FALSE(manager->isRunning());
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
