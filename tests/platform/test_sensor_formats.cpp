// The formats the accelerometer sources parse: HID report descriptors, IIO
// scan element types and sampling frequency lists.
#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/sensors/hid_report_descriptor.h"
#include "platform/linux/sensors/sensor_sources.h"

using namespace clavio::platform;

namespace {
std::optional<HidUsage> primary(const std::vector<std::uint8_t>& d) {
    return parsePrimaryUsage(d.data(), d.size());
}
} // namespace

TEST(HidReportDescriptor, PrimaryUsageIsThatOfTheFirstTopLevelCollection) {
    // Vendor page 0xFF00, usage 3, one 22-byte input report.
    EXPECT_EQ(primary({0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
                       0x08, 0x95, 0x16, 0x81, 0x02, 0xC0}),
              (HidUsage{0xFF00, 3}));
    // A keyboard; its later usages inside the collection do not count.
    EXPECT_EQ(primary({0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29,
                       0xE7, 0xC0, 0x06, 0x00, 0xFF, 0x09, 0x03, 0xA1, 0x01, 0xC0}),
              (HidUsage{1, 6}));
    // A four-byte usage carries its page; a long item is skipped whole.
    EXPECT_EQ(primary({0xFE, 0x02, 0x10, 0xA1, 0x01, 0x0B, 0x02, 0x00, 0x01, 0x00, 0xA1, 0x01}),
              (HidUsage{1, 2}));
    // Push and pop restore the usage page.
    EXPECT_EQ(primary({0x05, 0x01, 0xA4, 0x06, 0x00, 0xFF, 0xB4, 0x09, 0x02, 0xA1, 0x01}),
              (HidUsage{1, 2}));
}

TEST(HidReportDescriptor, GarbageYieldsNoUsage) {
    EXPECT_FALSE(primary({}));
    EXPECT_FALSE(primary({0x06, 0x00}));                   // truncated item
    EXPECT_FALSE(primary({0x06, 0x00, 0xFF, 0x09, 0x03})); // no collection
    EXPECT_FALSE(primary({0xFE, 0x20, 0x10, 0x00}));       // long item past the end
    EXPECT_FALSE(primary({0xA1, 0x01, 0x09, 0x03, 0xC0})); // collection without usage
    std::vector<std::uint8_t> noise(300);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    primary(noise); // must not read out of bounds (checked under ASan)
}

TEST(IioFormats, ScanTypesParseAndDecode) {
    const auto le = parseIioScanType("le:s16/16>>0");
    ASSERT_TRUE(le);
    const std::uint8_t minus[] = {0x00, 0x80};
    EXPECT_EQ(decodeIioSample(*le, minus), -32768);
    const auto be = parseIioScanType("be:s12/16>>4");
    ASSERT_TRUE(be);
    EXPECT_TRUE(be->bigEndian);
    const std::uint8_t minusOne[] = {0xFF, 0xF0};
    EXPECT_EQ(decodeIioSample(*be, minusOne), -1);
    const std::uint8_t big[] = {0x7F, 0xF5};
    EXPECT_EQ(decodeIioSample(*be, big), 2047);
    const auto u = parseIioScanType("le:u10/32>>2");
    ASSERT_TRUE(u);
    const std::uint8_t raw[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decodeIioSample(*u, raw), 1023);

    for (const char* bad :
         {"", "le", "xx:s16/16>>0", "le:q16/16>>0", "le:s16/16X2>>0", "le:s17/16>>0",
          "le:s16/24>>0", "le:s16/16>>4", "le:s16/16>>0 ", "le:s/16>>0"}) {
        EXPECT_FALSE(parseIioScanType(bad)) << bad;
    }
}

TEST(IioFormats, SamplingFrequencyIsTheHighestOfferedUpToTheTarget) {
    EXPECT_EQ(chooseSamplingFrequency("12.5 25 50 100 200 400 800 1600", 1000), 800.0);
    EXPECT_EQ(chooseSamplingFrequency("1000 500", 1000), 1000.0);
    EXPECT_EQ(chooseSamplingFrequency("1600 3200", 1000), 1600.0);
    EXPECT_EQ(chooseSamplingFrequency("[0.5 0.5 400]", 1000), 400.0);
    EXPECT_EQ(chooseSamplingFrequency("[0 0.000001 5000]", 1000), 1000.0);
    EXPECT_EQ(chooseSamplingFrequency("abc 200 x", 1000), 200.0);
    EXPECT_FALSE(chooseSamplingFrequency("abc", 1000));
    EXPECT_FALSE(chooseSamplingFrequency("[1 2]", 1000));
    EXPECT_FALSE(chooseSamplingFrequency("", 1000));
}
