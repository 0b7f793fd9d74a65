#include <gtest/gtest.h>

#include <vector>

#include "engine/core/core_types.h"
#include "engine/keyboard/key_tap.h"
#include "engine/ports/clock.h"

using namespace clavio;

namespace {

struct Delivered {
    bool down;
    TCAKeyEvent event;
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

    void flags(std::uint16_t code, std::uint64_t rawFlags) {
        tca_key_tap_callback(handlers, {TCATapEventType::flagsChanged, code, rawFlags, false});
    }

    VirtualClock clock{5000};
    TCAKeyHandlers handlers;
    std::vector<Delivered> delivered;

private:
    ClockSource* _previousClock = nullptr;
};

} // namespace

TEST_F(KeyTap, ModifierChangesArePressesWhenABitIsAddedAndReleasesOtherwise) {
    flags(56, 0x20000);  // shift down
    flags(55, 0x120000); // command down
    flags(56, 0x100000); // shift up
    flags(55, 0);        // command up
    ASSERT_EQ(delivered.size(), 4u);
    EXPECT_TRUE(delivered[0].down);
    EXPECT_EQ(delivered[0].event.modifiers, 0x20000u);
    EXPECT_TRUE(delivered[1].down);
    EXPECT_EQ(delivered[1].event.modifiers, 0x120000u);
    EXPECT_FALSE(delivered[2].down);
    EXPECT_EQ(delivered[2].event.modifiers, 0x100000u);
    EXPECT_EQ(delivered[2].event.keyCode, 56);
    EXPECT_FALSE(delivered[3].down);
    for (const auto& d : delivered) {
        EXPECT_FALSE(d.event.isRepeat);
        EXPECT_EQ(d.event.timestamp, 5000u);
    }
    EXPECT_EQ(tca_previous_flags(), 0u);
}

TEST_F(KeyTap, FlagsOutsideTheDeviceIndependentMaskAreDroppedBeforeComparing) {
    flags(56, 0x20000 | 0x102);     // device-dependent left-shift bits
    flags(56, 0x20000 | 0x1000000); // a bit above the mask: same masked flags
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].event.modifiers, 0x20000u);
    EXPECT_FALSE(delivered[1].down) << "equal masked flags are a release";
    EXPECT_EQ(delivered[1].event.modifiers, 0x20000u);
    EXPECT_EQ(tca_previous_flags(), 0x20000u);
}

TEST_F(KeyTap, CapsLockWithItsBitSetIsAlwaysAPress) {
    flags(56, 0x30000); // shift with caps lock on: press
    flags(57, 0x30000); // caps lock again, same flags: still a press
    flags(57, 0x20000); // caps lock turned off: bit gone, a release
    flags(56, 0x10000); // another key with the caps bit, fewer flags: release
    ASSERT_EQ(delivered.size(), 4u);
    EXPECT_TRUE(delivered[0].down);
    EXPECT_TRUE(delivered[1].down);
    EXPECT_FALSE(delivered[2].down);
    EXPECT_FALSE(delivered[3].down);
}

TEST_F(KeyTap, KeyEventsCarryMaskedFlagsRepeatAndTheClockReadInTheCallback) {
    tca_key_tap_callback(handlers, {TCATapEventType::keyDown, 0, 0x20000 | 0xFF, false});
    clock.advance(100);
    tca_key_tap_callback(handlers, {TCATapEventType::keyDown, 0, 0, true});
    clock.advance(100);
    // A source that wrongly marks a key-up as a repeat still yields a plain key-up.
    tca_key_tap_callback(handlers, {TCATapEventType::keyUp, 0, 0, true});
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[0].event, (TCAKeyEvent{0, 0x20000, 5000, false}));
    EXPECT_EQ(delivered[1].event, (TCAKeyEvent{0, 0, 5100, true}));
    EXPECT_TRUE(delivered[1].down);
    EXPECT_EQ(delivered[2].event, (TCAKeyEvent{0, 0, 5200, false}));
    EXPECT_FALSE(delivered[2].down);
    EXPECT_EQ(tca_previous_flags(), 0u) << "key events leave the modifier history alone";
}

TEST_F(KeyTap, MissingHandlersAndDisabledNotificationsDeliverNothing) {
    handlers.keyUp.set(nullptr);
    tca_key_tap_callback(handlers, {TCATapEventType::keyUp, 3, 0, false});
    flags(56, 0); // a release with no key-up handler
    tca_key_tap_callback(handlers, {TCATapEventType::tapDisabledByTimeout, 0, 0x20000, false});
    tca_key_tap_callback(handlers, {TCATapEventType::tapDisabledByUserInput, 0, 0x20000, false});
    tca_key_tap_callback(handlers, {static_cast<TCATapEventType>(14), 0, 0x20000, false});
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(tca_previous_flags(), 0u);

    // A replaced handler serves the following events.
    std::vector<TCAKeyEvent> other;
    handlers.keyDown.set([&](TCAKeyEvent e) { other.push_back(e); });
    tca_key_tap_callback(handlers, {TCATapEventType::keyDown, 7, 0, false});
    EXPECT_EQ(other.size(), 1u);
    EXPECT_TRUE(delivered.empty());
}
