#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/sensing/accel_report.h"

using namespace clavio;

TEST(AccelReport, DecodesOnlyExactly22Bytes) {
    std::uint8_t report[24] = {};
    // x = 65536, y = -65536, z = 0
    report[8] = 0x01;
    std::memset(report + 10, 0x00, 4);
    report[10] = 0x00;
    report[11] = 0x00;
    report[12] = 0xFF;
    report[13] = 0xFF;
    AccelAxes axes{9, 9, 9};
    EXPECT_FALSE(decodeAccelReport(report, 21, &axes));
    EXPECT_FALSE(decodeAccelReport(report, 23, &axes));
    EXPECT_EQ(axes.x, 9.0f);
    ASSERT_TRUE(decodeAccelReport(report, 22, &axes));
    EXPECT_EQ(axes.x, 1.0f);
    EXPECT_EQ(axes.y, -1.0f);
    EXPECT_EQ(axes.z, 0.0f);
}

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
