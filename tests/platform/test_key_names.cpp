#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include "platform/linux/input/evdev_keymap.h"
#include "platform/linux/input/key_names.h"

using clavio::platform::virtualKeyName;

TEST(KeyNames, NamesFollowTheEvdevKeyMap) {
    EXPECT_EQ(virtualKeyName(0), "a");
    EXPECT_EQ(virtualKeyName(49), "space");
    EXPECT_EQ(virtualKeyName(51), "backspace");
    EXPECT_EQ(virtualKeyName(56), "leftshift");
    EXPECT_EQ(virtualKeyName(36), "enter");
    EXPECT_EQ(virtualKeyName(126), "up");
    // Keys without a counterpart keep the kernel's name under their 0x100 code.
    EXPECT_EQ(virtualKeyName(clavio::platform::evdevToVirtualKeyCode(KEY_PLAYPAUSE)), "playpause");
    // A code no key maps to.
    EXPECT_EQ(virtualKeyName(0xFFFE), "vk65534");
}
