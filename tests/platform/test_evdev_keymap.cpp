#include <gtest/gtest.h>

#include <linux/input.h>

#include <set>

#include "engine/core/core_types.h"
#include "engine/keyboard/key_groups.h"
#include "platform/linux/input/evdev_key_translator.h"
#include "platform/linux/input/evdev_keymap.h"

using namespace clavio;
using namespace clavio::platform;

TEST(EvdevKeymap, AnchorPointsMatchTheVirtualKeyTable) {
    const std::pair<int, int> anchors[] = {
        {KEY_A, 0},          {KEY_S, 1},          {KEY_TAB, 48},        {KEY_SPACE, 49},
        {KEY_GRAVE, 50},     {KEY_BACKSPACE, 51}, {KEY_ESC, 53},        {KEY_ENTER, 36},
        {KEY_KPENTER, 76},   {KEY_DELETE, 117},   {KEY_INSERT, 114},    {KEY_HOME, 115},
        {KEY_PAGEUP, 116},   {KEY_END, 119},      {KEY_PAGEDOWN, 121},  {KEY_LEFT, 123},
        {KEY_RIGHT, 124},    {KEY_DOWN, 125},     {KEY_UP, 126},        {KEY_F1, 122},
        {KEY_F2, 120},       {KEY_F3, 99},        {KEY_F4, 118},        {KEY_F5, 96},
        {KEY_F6, 97},        {KEY_F7, 98},        {KEY_F8, 100},        {KEY_F9, 101},
        {KEY_F10, 109},      {KEY_F11, 103},      {KEY_F12, 111},       {KEY_F13, 105},
        {KEY_F14, 107},      {KEY_F15, 113},      {KEY_F16, 106},       {KEY_F17, 64},
        {KEY_F18, 79},       {KEY_F19, 80},       {KEY_F20, 90},        {KEY_LEFTMETA, 55},
        {KEY_RIGHTMETA, 54}, {KEY_LEFTSHIFT, 56}, {KEY_RIGHTSHIFT, 60}, {KEY_CAPSLOCK, 57},
        {KEY_LEFTALT, 58},   {KEY_RIGHTALT, 61},  {KEY_LEFTCTRL, 59},   {KEY_RIGHTCTRL, 62},
        {KEY_FN, 63},        {KEY_VOLUMEUP, 72},  {KEY_VOLUMEDOWN, 73}, {KEY_MUTE, 74},
        {KEY_NUMLOCK, 71},   {KEY_KP0, 82},       {KEY_KP7, 89},        {KEY_KP8, 91},
        {KEY_KP9, 92},       {KEY_KPDOT, 65},     {KEY_KPASTERISK, 67}, {KEY_KPPLUS, 69},
        {KEY_KPSLASH, 75},   {KEY_KPMINUS, 78},   {KEY_KPEQUAL, 81},    {KEY_102ND, 10},
    };
    for (const auto& [evdev, virtualKey] : anchors) {
        EXPECT_EQ(evdevToVirtualKeyCode(static_cast<std::uint16_t>(evdev)), virtualKey)
            << "evdev " << evdev;
    }
    for (int kp = KEY_KP1; kp <= KEY_KP3; ++kp) {
        EXPECT_EQ(evdevToVirtualKeyCode(static_cast<std::uint16_t>(kp)), 83 + kp - KEY_KP1);
    }
    EXPECT_EQ(evdevToVirtualKeyCode(KEY_PLAYPAUSE), 0x100 + KEY_PLAYPAUSE);
    EXPECT_EQ(evdevToVirtualKeyCode(KEY_BRIGHTNESSUP), 0x100 + KEY_BRIGHTNESSUP);
    EXPECT_EQ(keyGroupForKeyCode(evdevToVirtualKeyCode(KEY_NEXTSONG)), KeyGroup::other);
    EXPECT_EQ(evdevToVirtualKeyCode(KEY_MAX), 0x100 + KEY_MAX);
    EXPECT_EQ(evdevToVirtualKeyCode(KEY_CNT), kInvalidKeyCode);
}

TEST(EvdevKeymap, EveryKeyOfAFullKeyboardHasItsOwnVirtualCode) {
    // The 105 keys of an ISO PC keyboard: evdev codes 1..88 minus none, plus
    // the extended block and keypad enter/slash, right control/alt, the
    // Windows and menu keys.
    std::vector<int> keys;
    for (int code = KEY_ESC; code <= KEY_F10; ++code) {
        keys.push_back(code); // 1..68: main block, keypad digits, F1..F10
    }
    for (int code = KEY_NUMLOCK; code <= KEY_KPDOT; ++code) {
        keys.push_back(code);
    }
    for (int code :
         {KEY_102ND, KEY_F11,      KEY_F12,       KEY_KPENTER,  KEY_RIGHTCTRL, KEY_KPSLASH,
          KEY_SYSRQ, KEY_RIGHTALT, KEY_HOME,      KEY_UP,       KEY_PAGEUP,    KEY_LEFT,
          KEY_RIGHT, KEY_END,      KEY_DOWN,      KEY_PAGEDOWN, KEY_INSERT,    KEY_DELETE,
          KEY_PAUSE, KEY_LEFTMETA, KEY_RIGHTMETA, KEY_COMPOSE}) {
        keys.push_back(code);
    }
    ASSERT_EQ(keys.size(), 105u);
    std::set<int> codes;
    for (int key : keys) {
        const auto code = evdevToVirtualKeyCode(static_cast<std::uint16_t>(key));
        EXPECT_LT(code, 128) << "evdev " << key << " has no virtual key code";
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
    EXPECT_EQ(shift->keyCode, 56);
    EXPECT_EQ(shift->flags, kFlagShift);
    // The other keyboard's right shift keeps shift held when the first lets go.
    ASSERT_TRUE(t.translate(second, KEY_RIGHTSHIFT, 1));
    ASSERT_TRUE(t.translate(second, KEY_RIGHTMETA, 1));
    ASSERT_TRUE(t.translate(first, KEY_LEFTSHIFT, 0));
    EXPECT_EQ(t.flags(), kFlagShift | kFlagCommand);
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
    ASSERT_TRUE(t.translate(first, KEY_FN, 1));
    EXPECT_EQ(t.flags(), kFlagOption | kFlagFunction);
}

TEST(EvdevKeyTranslator, CapsLockTogglesOnPressOnlyAndButtonsAreIgnored) {
    EvdevKeyTranslator t;
    EvdevKeyTranslator::HeldModifiers device = 0;
    auto on = t.translate(device, KEY_CAPSLOCK, 1);
    ASSERT_TRUE(on);
    EXPECT_EQ(on->keyCode, 57);
    EXPECT_EQ(on->flags, kFlagCapsLock);
    EXPECT_FALSE(t.translate(device, KEY_CAPSLOCK, 2));
    EXPECT_FALSE(t.translate(device, KEY_CAPSLOCK, 0));
    auto off = t.translate(device, KEY_CAPSLOCK, 1);
    ASSERT_TRUE(off);
    EXPECT_EQ(off->flags, 0u);
    EXPECT_FALSE(t.translate(device, BTN_LEFT, 1));
    EXPECT_FALSE(t.translate(device, BTN_TRIGGER_HAPPY1, 1));
    EXPECT_FALSE(t.translate(device, KEY_A, 3)) << "values other than 0, 1, 2";
    EXPECT_FALSE(t.translate(device, KEY_CNT, 1)) << "codes beyond KEY_MAX";
    auto up = t.translate(device, KEY_A, 0);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->type, TCATapEventType::keyUp);
    EXPECT_FALSE(up->autorepeat);
}
