#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>

#include "engine/keyboard/key_groups.h"

using namespace clavio;

TEST(KeyGroups, BoundaryCodesFallInTheirGroups) {
    EXPECT_EQ(keyGroupForKeyCode(48), KeyGroup::alpha);      // tab
    EXPECT_EQ(keyGroupForKeyCode(53), KeyGroup::other);      // escape
    EXPECT_EQ(keyGroupForKeyCode(117), KeyGroup::deleteKey); // forward delete
    EXPECT_EQ(keyGroupForKeyCode(76), KeyGroup::enter);      // keypad enter
    EXPECT_EQ(keyGroupForKeyCode(72), KeyGroup::alpha);      // volume up
    EXPECT_EQ(keyGroupForKeyCode(105), KeyGroup::other);     // F13
    EXPECT_EQ(keyGroupForKeyCode(200), KeyGroup::other);
    EXPECT_EQ(keyGroupForKeyCode(128), KeyGroup::other);
    EXPECT_EQ(keyGroupForKeyCode(127), KeyGroup::other);
    EXPECT_EQ(keyGroupForKeyCode(-1), KeyGroup::other);
    EXPECT_EQ(keyGroupForKeyCode(-96), KeyGroup::other);
    EXPECT_EQ(keyGroupForKeyCode(INT_MIN), KeyGroup::other);
    EXPECT_EQ(keyGroupForKeyCode(INT_MAX), KeyGroup::other);
    EXPECT_EQ(TCAKeyGroupFromKeyCode(49), 2);
}

