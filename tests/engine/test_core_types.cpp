#include <gtest/gtest.h>

#include "engine/core/core_types.h"

using namespace clavio;

TEST(CoreTypes, RawValueConstructionRejectsOutOfRange) {
    EXPECT_EQ(velocityTierFromRaw(4), VelocityTier::slam);
    EXPECT_FALSE(velocityTierFromRaw(5));
    EXPECT_FALSE(velocityTierFromRaw(-1));
    EXPECT_EQ(keyGroupFromRaw(7), KeyGroup::other);
    EXPECT_FALSE(keyGroupFromRaw(8));
    EXPECT_FALSE(sensorStatusFromRaw(5));
}

TEST(CoreTypes, NamesAndLabelsRoundTrip) {
    EXPECT_EQ(label(KeyGroup::deleteKey), "Delete");
    EXPECT_EQ(name(KeyGroup::deleteKey), "delete");
    EXPECT_EQ(label(VelocityTier::medium), "Medium");
    for (auto g : kAllKeyGroups) {
        EXPECT_EQ(keyGroupFromName(name(g)), g);
    }
    for (auto t : kAllVelocityTiers) {
        EXPECT_EQ(velocityTierFromName(name(t)), t);
    }
    EXPECT_FALSE(keyGroupFromName("Alpha"));
}
