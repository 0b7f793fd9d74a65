// Keyboard capture on Linux: the evdev key map and translator, and the real
// evdev tap against a fake /dev/input of FIFOs carrying input_event records.
#include <gtest/gtest.h>

#include <linux/input.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/ports/clock.h"
#include "engine/keyboard/key_groups.h"
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

struct Seen {
    bool down;
    KeyEvent event;
};

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
        std::lock_guard lock(_m);
        _seen.push_back({down, e});
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

void expectEvent(const Seen& s, bool down, std::uint16_t code, std::uint32_t modifiers, bool repeat,
                 KeyGroup group) {
    EXPECT_EQ(s.down, down) << "code " << s.event.keyCode;
    EXPECT_EQ(s.event.keyCode, code);
    EXPECT_EQ(s.event.modifiers, modifiers) << "code " << code;
    EXPECT_EQ(s.event.isRepeat, repeat) << "code " << code;
    EXPECT_EQ(s.event.keyGroup, group) << "code " << code;
    EXPECT_EQ(s.event.timestamp, 123456u) << "stamped with the process clock";
}

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
    w.key(KEY_A, 1);
    w.key(KEY_A, 2);
    w.key(KEY_A, 0);
    w.key(KEY_LEFTSHIFT, 1);
    w.key(KEY_LEFTSHIFT, 2); // held modifiers do not repeat
    w.key(KEY_S, 1);
    w.key(KEY_S, 0);
    w.key(KEY_LEFTSHIFT, 0);
    w.key(BTN_LEFT, 1); // touchpad button of the same device: not a key
    w.key(KEY_KPENTER, 1);
    w.key(KEY_VOLUMEUP, 1);
    w.key(KEY_PLAYPAUSE, 1);
    w.key(KEY_F5, 1);
    ASSERT_TRUE(waitForCount(11));
    std::this_thread::sleep_for(20ms);
    const auto s = seen();
    ASSERT_EQ(s.size(), 11u);
    expectEvent(s[0], true, 0, 0, false, KeyGroup::alpha);
    expectEvent(s[1], true, 0, 0, true, KeyGroup::alpha);
    expectEvent(s[2], false, 0, 0, false, KeyGroup::alpha);
    expectEvent(s[3], true, 56, kFlagShift, false, KeyGroup::modifier);
    expectEvent(s[4], true, 1, kFlagShift, false, KeyGroup::alpha);
    expectEvent(s[5], false, 1, kFlagShift, false, KeyGroup::alpha);
    expectEvent(s[6], false, 56, 0, false, KeyGroup::modifier);
    expectEvent(s[7], true, 76, 0, false, KeyGroup::enter);
    expectEvent(s[8], true, 72, 0, false, KeyGroup::alpha);
    expectEvent(s[9], true, 0x100 + KEY_PLAYPAUSE, 0, false, KeyGroup::other);
    expectEvent(s[10], true, 96, 0, false, KeyGroup::function);

    // A keyboard plugged in later is picked up.
    tree.addKeyboard(7, "Hot-plugged");
    FifoWriter later(tree.inputRoot() / "event7");
    ASSERT_TRUE(later.isOpen()) << "the tap never opened the new keyboard";
    later.key(KEY_SPACE, 1);
    ASSERT_TRUE(waitForCount(12));
    expectEvent(seen()[11], true, 49, 0, false, KeyGroup::space);
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
    const auto s = seen();
    ASSERT_EQ(s.size(), 2u);
    expectEvent(s[0], true, 56, kFlagShift, false, KeyGroup::modifier);
    expectEvent(s[1], true, 0, kFlagControl, false, KeyGroup::alpha);
}

TEST_F(EvdevKeyboard, WithoutAReadableKeyboardTheTapFailsAndAccessIsExplained) {
    tree.addMouse(0);
    tree.addKeyboard(1, "Locked Keyboard", {}, FakeNode::unopenable);
    makeManager();
    EXPECT_FALSE(manager->hasPermission());
    LogCapture log;
    EXPECT_FALSE(manager->start());
    EXPECT_FALSE(manager->isRunning());
    EXPECT_TRUE(log.contains("[Clavio:Keyboard] Keyboard capture failed to start"));
    EXPECT_FALSE(log.contains("Keyboard capture started"));

    const auto devices = source->listDevices();
    ASSERT_EQ(devices.size(), 1u) << "the mouse is no keyboard";
    EXPECT_EQ(devices[0].node, tree.inputRoot() / "event1");
    EXPECT_FALSE(devices[0].opened);
    EXPECT_FALSE(devices[0].error.empty());

    std::string shown;
    source->setAccessRequestHandler([&](std::string_view text) { shown = text; });
    manager->requestPermission();
    EXPECT_NE(shown.find("usermod -aG input"), std::string::npos);
    EXPECT_TRUE(log.contains("[Clavio:Keyboard] " + shown));

    // Once a keyboard can be read, access is granted and capture starts.
    tree.addKeyboard(2);
    EXPECT_TRUE(manager->hasPermission());
    EXPECT_TRUE(manager->start());
}

TEST_F(EvdevKeyboard, AVanishedKeyboardIsDroppedWithoutSpinningAndOthersGoOn) {
    tree.addKeyboard(0);
    tree.addKeyboard(1);
    makeManager();
    ASSERT_TRUE(manager->start());
    FifoWriter first(tree.inputRoot() / "event0");
    FifoWriter second(tree.inputRoot() / "event1");
    first.key(KEY_LEFTSHIFT, 1); // held while the keyboard goes away
    ASSERT_TRUE(waitForCount(1));
    input_event half{}; // the keyboard goes away in the middle of a record
    half.type = EV_KEY;
    half.code = KEY_A;
    half.value = 1;
    first.write(&half, sizeof half / 2);
    first.close();
    std::this_thread::sleep_for(50ms);

    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1) << "the capture thread spins";

    second.key(KEY_Q, 1);
    ASSERT_TRUE(waitForCount(2));
    EXPECT_TRUE(manager->isRunning());
    const auto s = seen();
    ASSERT_EQ(s.size(), 2u) << "half a record is no key press";
    // The vanished keyboard's shift no longer counts.
    expectEvent(s[1], true, 12, 0, false, KeyGroup::alpha);
}

TEST_F(EvdevKeyboard, StartAndStopKeepTheirBoundsAndNameTheThread) {
    installThreadNaming();
    tree.addKeyboard(0);
    // With a 30-second slice only the eventfd wake-up lets stop return soon.
    makeManager(30.0);
    manager->stop(); // without start
    ASSERT_TRUE(manager->start());
    EXPECT_TRUE(manager->start()) << "start while running";
    const auto names = threadNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "keyboard-captur"), names.end());

    auto before = std::chrono::steady_clock::now();
    manager->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_FALSE(manager->isRunning());
    manager->stop();

    // A stopped capture starts again with a new thread and tap.
    ASSERT_TRUE(manager->start());
    FifoWriter w(tree.inputRoot() / "event0");
    w.key(KEY_ESC, 1);
    ASSERT_TRUE(waitForCount(1));
    expectEvent(seen()[0], true, 53, 0, false, KeyGroup::other);
    before = std::chrono::steady_clock::now();
    manager->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

TEST(EvdevKeymap, AnchorsNamesAndEveryKeyOfAFullKeyboardHasItsOwnCode) {
    const std::tuple<int, int, const char*> anchors[] = {
        {KEY_A, 0, "a"},           {KEY_SPACE, 49, "space"}, {KEY_ENTER, 36, "enter"},
        {KEY_KPENTER, 76, "kpenter"}, {KEY_LEFTSHIFT, 56, "leftshift"}, {KEY_F1, 122, "f1"},
        {KEY_UP, 126, "up"},       {KEY_VOLUMEUP, 72, "volumeup"}, {KEY_102ND, 10, "102nd"}};
    for (const auto& [evdev, code, name] : anchors) {
        EXPECT_EQ(evdevToVirtualKeyCode(std::uint16_t(evdev)), code) << name;
        EXPECT_EQ(virtualKeyName(std::uint16_t(code)), name);
    }
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

    // The 105 keys of an ISO PC keyboard.
    std::vector<int> keys;
    for (int code = KEY_ESC; code <= KEY_KPDOT; ++code) {
        keys.push_back(code); // main block, keypad, F1..F10
    }
    for (int code : {KEY_102ND, KEY_F11, KEY_F12, KEY_KPENTER, KEY_RIGHTCTRL, KEY_KPSLASH,
                     KEY_SYSRQ, KEY_RIGHTALT, KEY_HOME, KEY_UP, KEY_PAGEUP, KEY_LEFT, KEY_RIGHT,
                     KEY_END, KEY_DOWN, KEY_PAGEDOWN, KEY_INSERT, KEY_DELETE, KEY_PAUSE,
                     KEY_LEFTMETA, KEY_RIGHTMETA, KEY_COMPOSE}) {
        keys.push_back(code);
    }
    ASSERT_EQ(keys.size(), 105u);
    std::set<int> codes;
    for (int key : keys) {
        const auto code = evdevToVirtualKeyCode(std::uint16_t(key));
        EXPECT_LT(code, 128) << "evdev " << key;
        codes.insert(code);
    }
    EXPECT_EQ(codes.size(), keys.size()) << "two keys share a virtual key code";
}

TEST(EvdevKeyTranslator, ModifierStateSpansKeyboardsAndFollowsEachDevice) {
    EvdevKeyTranslator t;
    EvdevKeyTranslator::HeldModifiers first = 0, second = 0;
    auto shift = t.translate(first, KEY_LEFTSHIFT, 1);
    ASSERT_TRUE(shift);
    EXPECT_EQ(shift->type, TCATapEventType::flagsChanged);
    EXPECT_EQ(shift->flags, kFlagShift);
    // The other keyboard's right shift keeps shift held when the first lets go.
    ASSERT_TRUE(t.translate(second, KEY_RIGHTSHIFT, 1));
    ASSERT_TRUE(t.translate(second, KEY_RIGHTMETA, 1));
    ASSERT_TRUE(t.translate(first, KEY_LEFTSHIFT, 0));
    EXPECT_FALSE(t.translate(first, KEY_LEFTSHIFT, 0)) << "a second release changes nothing";
    const auto a = t.translate(first, KEY_A, 1);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, TCATapEventType::keyDown);
    EXPECT_EQ(a->flags, kFlagShift | kFlagCommand);
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
