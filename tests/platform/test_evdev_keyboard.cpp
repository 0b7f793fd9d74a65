// The evdev key map, translator and tap, the tap reading a fake /dev/input's FIFOs.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

#include "engine/keyboard/key_groups.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "platform/linux/input/evdev_key_source.h"
#include "platform/linux/input/evdev_key_translator.h"
#include "platform/linux/input/evdev_keymap.h"
#include "platform/linux/input/key_names.h"
#include "platform/linux/system/thread_naming.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

// Down or up, code, modifiers, repeat, group.
using Seen = std::tuple<bool, std::uint16_t, std::uint32_t, bool, KeyGroup>;

class EvdevKeyboard : public ::testing::Test {
protected:
    void SetUp() override {
        _previousClock = setClockSource(&clock);
        tca_set_previous_flags(0);
    }
    void TearDown() override {
        if (manager) {
            manager->stop();
        }
        setClockSource(_previousClock);
    }

    void makeManager(double slice = TCAKeyboardCapture::kSliceSeconds) {
        source = std::make_shared<EvdevKeySource>(
            EvdevKeySourceOptions{tree.inputRoot(), makeSidecarEvdevProbe()});
        manager = KeyboardCaptureManager::create(source, slice);
        manager->setOnKeyDown([this](const KeyEvent& e) { record(true, e); });
        manager->setOnKeyUp([this](const KeyEvent& e) { record(false, e); });
    }

    void record(bool down, const KeyEvent& e) {
        EXPECT_EQ(e.timestamp, 123456u) << "stamped with the process clock";
        std::lock_guard lock(_m);
        _seen.emplace_back(down, e.keyCode, e.modifiers, e.isRepeat, e.keyGroup);
    }
    std::vector<Seen> seen() {
        std::lock_guard lock(_m);
        return _seen;
    }
    bool waitForCount(std::size_t n) {
        return waitFor([&] { return seen().size() >= n; });
    }

    VirtualClock clock{123456};
    FakeDeviceTree tree;
    std::shared_ptr<EvdevKeySource> source;
    std::shared_ptr<KeyboardCaptureManager> manager;

private:
    ClockSource* _previousClock = nullptr;
    std::mutex _m;
    std::vector<Seen> _seen;
};

} // namespace

TEST_F(EvdevKeyboard, RecordsFromAFifoArriveAsTranslatedKeyEvents) {
    tree.addKeyboard(0);
    makeManager();
    LogCapture log;
    ASSERT_TRUE(manager->start());
    EXPECT_TRUE(manager->isRunning());
    EXPECT_TRUE(log.contains("[Clavio:Keyboard] Keyboard capture started"));

    FifoWriter w(tree.inputRoot() / "event0");
    ASSERT_TRUE(w.isOpen());
    w.event(EV_MSC, MSC_SCAN, 0x1e); // scan codes come with key events and are ignored
    // Held modifiers do not repeat; the touchpad button of the device is no key.
    const std::pair<std::uint16_t, int> typing[] = {
        {KEY_A, 1},         {KEY_A, 2},       {KEY_A, 0},        {KEY_LEFTSHIFT, 1},
        {KEY_LEFTSHIFT, 2}, {KEY_S, 1},       {KEY_S, 0},        {KEY_LEFTSHIFT, 0},
        {BTN_LEFT, 1},      {KEY_KPENTER, 1}, {KEY_VOLUMEUP, 1}, {KEY_PLAYPAUSE, 1},
        {KEY_F5, 1}};
    for (const auto& [code, value] : typing) {
        w.key(code, value);
    }
    ASSERT_TRUE(waitForCount(11));
    std::this_thread::sleep_for(20ms);
    using G = KeyGroup;
    EXPECT_EQ(seen(), (std::vector<Seen>{{true, 0, 0, false, G::alpha},
                                         {true, 0, 0, true, G::alpha},
                                         {false, 0, 0, false, G::alpha},
                                         {true, 56, kFlagShift, false, G::modifier},
                                         {true, 1, kFlagShift, false, G::alpha},
                                         {false, 1, kFlagShift, false, G::alpha},
                                         {false, 56, 0, false, G::modifier},
                                         {true, 76, 0, false, G::enter},
                                         {true, 72, 0, false, G::alpha},
                                         {true, 0x100 + KEY_PLAYPAUSE, 0, false, G::other},
                                         {true, 96, 0, false, G::function}}));

    // A keyboard plugged in later is picked up.
    tree.addKeyboard(7, "Hot-plugged");
    FifoWriter later(tree.inputRoot() / "event7");
    ASSERT_TRUE(later.isOpen()) << "the tap never opened the new keyboard";
    later.key(KEY_SPACE, 1);
    ASSERT_TRUE(waitForCount(12));
    EXPECT_EQ(seen()[11], Seen(true, 49, 0, false, KeyGroup::space));
}

TEST_F(EvdevKeyboard, WithoutAReadableKeyboardCaptureFailsAndAccessIsExplained) {
    tree.addKeyboard(1, "Locked Keyboard", {}, FakeNode::unopenable);
    makeManager();
    EXPECT_FALSE(manager->hasPermission());
    LogCapture log;
    EXPECT_FALSE(manager->start());
    EXPECT_TRUE(log.contains("[Clavio:Keyboard] Keyboard capture failed to start"));
    std::string shown;
    source->setAccessRequestHandler([&](std::string_view text) { shown = text; });
    manager->requestPermission();
    EXPECT_NE(shown.find("usermod -aG input"), std::string::npos);
    tree.addKeyboard(2);
    tree.addKeyboard(3);
    EXPECT_TRUE(manager->hasPermission());
    EXPECT_TRUE(manager->start());
    EXPECT_TRUE(log.contains("[Clavio:Keyboard] Keyboard capture started on 2 keyboards"));
}

TEST_F(EvdevKeyboard, SynDroppedDiscardsTheFrameAndResynchronisesModifiers) {
    // After the drop the device reports left control held and shift released.
    tree.addKeyboard(0, "Fake Keyboard", {KEY_LEFTCTRL});
    makeManager();
    ASSERT_TRUE(manager->start());
    FifoWriter w(tree.inputRoot() / "event0");
    w.key(KEY_LEFTSHIFT, 1);
    w.event(EV_SYN, SYN_DROPPED, 0);
    w.key(KEY_B, 1); // part of the dropped frame
    w.key(KEY_A, 1);
    ASSERT_TRUE(waitForCount(2));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(seen(), (std::vector<Seen>{{true, 56, kFlagShift, false, KeyGroup::modifier},
                                         {true, 0, kFlagControl, false, KeyGroup::alpha}}));
}

TEST_F(EvdevKeyboard, AVanishedKeyboardIsDroppedWithoutSpinningOthersGoOnAndStopIsPrompt) {
    installThreadNaming();
    tree.addKeyboard(0);
    tree.addKeyboard(1);
    makeManager(30.0); // only the eventfd wake-up lets stop return soon
    ASSERT_TRUE(manager->start());
    EXPECT_TRUE(manager->start()) << "start while running";
    const auto names = threadNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "keyboard-captur"), names.end());
    FifoWriter first(tree.inputRoot() / "event0");
    FifoWriter second(tree.inputRoot() / "event1");
    first.key(KEY_LEFTSHIFT, 1); // held while the keyboard goes away
    ASSERT_TRUE(waitForCount(1));
    const input_event half{{}, EV_KEY, KEY_A, 1}; // it goes away in the middle of a record
    first.write(&half, sizeof half / 2);
    first.close();
    std::this_thread::sleep_for(50ms);
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "the capture thread spins";
    second.key(KEY_Q, 1);
    ASSERT_TRUE(waitForCount(2));
    EXPECT_TRUE(manager->isRunning());
    // Half a record is no key press; the vanished keyboard's shift no longer counts.
    const auto s = seen();
    EXPECT_EQ(s.size(), 2u);
    EXPECT_EQ(s.back(), Seen(true, 12, 0, false, KeyGroup::alpha));
    const auto before = std::chrono::steady_clock::now();
    manager->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_FALSE(manager->isRunning());
}

TEST(EvdevKeymap, EveryKeyMapsToANamedCodeOrKeepsItsOwnNumberAboveTheTable) {
    // Every code either maps into the table (and so has a name) or keeps its
    // own number above 0x100, filed under `other`.
    for (int evdev = 0; evdev <= KEY_MAX; ++evdev) {
        const auto code = evdevToVirtualKeyCode(std::uint16_t(evdev));
        if (code >= kUnmappedKeyBase) {
            EXPECT_EQ(code, kUnmappedKeyBase + evdev);
            EXPECT_EQ(keyGroupForKeyCode(code), KeyGroup::other);
        } else if (!isEvdevButton(std::uint16_t(evdev))) {
            EXPECT_NE(virtualKeyName(code).rfind("vk", 0), 0u) << "evdev " << evdev;
        }
    }
    EXPECT_EQ(virtualKeyName(evdevToVirtualKeyCode(KEY_PLAYPAUSE)), "playpause");
    EXPECT_EQ(evdevToVirtualKeyCode(KEY_CNT), kInvalidKeyCode);
    EXPECT_EQ(virtualKeyName(0xFFFE), "vk65534");
    // The main block, keypad and F1..F10 of a PC keyboard each have their own code.
    std::map<int, int> owner; // code -> evdev key
    for (int key = KEY_ESC; key <= KEY_KPDOT; ++key) {
        const auto [at, fresh] = owner.emplace(evdevToVirtualKeyCode(std::uint16_t(key)), key);
        EXPECT_TRUE(fresh && at->first < 128) << key << " and " << at->second << ": " << at->first;
    }
}

TEST(EvdevKeyTranslator, ModifierStateSpansKeyboardsAndFollowsEachDevice) {
    EvdevKeyTranslator t;
    EvdevKeyTranslator::HeldModifiers first = 0, second = 0;
    const auto shift = t.translate(first, KEY_LEFTSHIFT, 1).value();
    EXPECT_EQ(std::tie(shift.type, shift.flags),
              std::tuple(TCATapEventType::flagsChanged, kFlagShift));
    // The other keyboard's right shift keeps shift held when the first lets go.
    ASSERT_TRUE(t.translate(second, KEY_RIGHTSHIFT, 1));
    ASSERT_TRUE(t.translate(second, KEY_RIGHTMETA, 1));
    ASSERT_TRUE(t.translate(first, KEY_LEFTSHIFT, 0));
    EXPECT_FALSE(t.translate(first, KEY_LEFTSHIFT, 0)) << "a second release changes nothing";
    const auto a = t.translate(first, KEY_A, 1).value();
    EXPECT_EQ(std::tie(a.type, a.flags),
              std::tuple(TCATapEventType::keyDown, kFlagShift | kFlagCommand));
    // Resync and removal drop exactly that device's keys, silently.
    std::bitset<KEY_CNT> held;
    held[KEY_LEFTALT] = true;
    t.resync(first, held);
    EXPECT_EQ(t.flags(), kFlagShift | kFlagCommand | kFlagOption);
    t.forget(second);
    EXPECT_EQ(t.flags(), kFlagOption);

    // Caps lock toggles on presses only; buttons and odd values are ignored.
    EvdevKeyTranslator c;
    EvdevKeyTranslator::HeldModifiers device = 0;
    EXPECT_EQ(c.translate(device, KEY_CAPSLOCK, 1)->flags, kFlagCapsLock);
    EXPECT_FALSE(c.translate(device, KEY_CAPSLOCK, 2));
    EXPECT_FALSE(c.translate(device, KEY_CAPSLOCK, 0));
    EXPECT_EQ(c.translate(device, KEY_CAPSLOCK, 1)->flags, 0u);
    EXPECT_FALSE(c.translate(device, BTN_LEFT, 1));
    EXPECT_FALSE(c.translate(device, BTN_TRIGGER_HAPPY1, 1));
    EXPECT_FALSE(c.translate(device, KEY_A, 3)) << "values other than 0, 1, 2";
    EXPECT_FALSE(c.translate(device, KEY_CNT, 1)) << "codes beyond KEY_MAX";
}
