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

// The whole table for 0..127, written out group by group.
TEST(KeyGroups, EveryOrdinaryCodeMatchesTheTable) {
    std::map<int, KeyGroup> expected;
    auto fill = [&](std::initializer_list<int> codes, KeyGroup g) {
        for (int c : codes) {
            expected[c] = g;
        }
    };
    for (int c = 0; c <= 127; ++c) {
        expected[c] = KeyGroup::other;
    }
    for (int c = 0; c <= 35; ++c) {
        expected[c] = KeyGroup::alpha;
    }
    for (int c = 37; c <= 48; ++c) {
        expected[c] = KeyGroup::alpha;
    }
    expected[50] = KeyGroup::alpha;
    for (int c = 65; c <= 92; ++c) {
        expected[c] = c == 76 ? KeyGroup::enter : KeyGroup::alpha;
    }
    for (int c = 54; c <= 63; ++c) {
        expected[c] = KeyGroup::modifier;
    }
    fill({49}, KeyGroup::space);
    fill({36, 76}, KeyGroup::enter);
    fill({51, 117}, KeyGroup::deleteKey);
    fill({123, 124, 125, 126}, KeyGroup::arrow);
    fill({122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111}, KeyGroup::function);

    for (int c = 0; c <= 127; ++c) {
        EXPECT_EQ(keyGroupForKeyCode(c), expected[c]) << "key code " << c;
    }
}
