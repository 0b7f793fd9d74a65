#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/sensing/accel_report.h"

using namespace clavio;

TEST(AccelReport, EncodeRoundTripsAndSaturates) {
    std::uint8_t report[kAccelReportLength];
    encodeAccelReport(0.25, -1.5, 1.0, report);
    AccelAxes axes;
    ASSERT_TRUE(decodeAccelReport(report, sizeof report, &axes));
    EXPECT_EQ(axes.x, 0.25f);
    EXPECT_EQ(axes.y, -1.5f);
    EXPECT_EQ(axes.z, 1.0f);
    encodeAccelReport(1e12, -1e12, std::nan(""), report);
    ASSERT_TRUE(decodeAccelReport(report, sizeof report, &axes));
    EXPECT_GT(axes.x, 32767.0f);
    EXPECT_LT(axes.y, -32767.0f);
    EXPECT_EQ(axes.z, 0.0f);
}
