#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "engine/sensing/accel_report.h"
#include "engine/core/core_types.h"
#include "engine/replay/session_trace.h"
#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::readFile;

namespace {

const std::string kHeader = "{\"format\":\"clavio-trace\",\"version\":1}\n";
const std::string kGoodRecord = "{\"t\":1000,\"key\":\"up\",\"code\":0,\"flags\":0}\n";

std::vector<TraceRecord> sampleRecords() {
    std::uint8_t report[kAccelReportLength];
    encodeAccelReport(0.01, -0.02, 1.0, report);
    const std::uint8_t shortReport[3] = {0xAB, 0x00, 0xFF};
    const float block[3] = {0.0f, 1.0f, -1.0f};
    const float pair[2] = {0.5f, -0.25f};
    return {
        TraceRecord::makeMic(999000000, pair, 2, 8000),
        TraceRecord::makeAccel(1000000000, report, sizeof report),
        TraceRecord::makeKey(1002000000, {TraceKeyKind::down, 0, 0, false}),
        TraceRecord::makeKey(1002000000, {TraceKeyKind::down, 0, kFlagShift, true}),
        TraceRecord::makeAccel(1003000000, shortReport, sizeof shortReport),
        TraceRecord::makeMic(1003000000, block, 3, 48000),
        TraceRecord::makeAccel(1003000000, report, 0),
        TraceRecord::makeKey(1090000000, {TraceKeyKind::up, 0, 0x100, false}),
        TraceRecord::makeKey(1500000000, {TraceKeyKind::flags, 56, 131072, false}),
        TraceRecord::makeKey(std::numeric_limits<std::uint64_t>::max(),
                             {TraceKeyKind::up, 65535, 0xFFFFFFFF, false}),
    };
}

std::string written(const std::vector<TraceRecord>& records) {
    std::ostringstream out;
    TraceWriter writer(out);
    for (const auto& r : records) {
        EXPECT_TRUE(writer.write(r));
    }
    return out.str();
}


} // namespace

TEST(SessionTrace, WriterOutputReadsBackToTheSameRecords) {
    const auto records = sampleRecords();
    const std::string text = written(records);
    // The lines of a report, a key down and a key up as written.
    for (const char* line :
         {R"({"t":1000000000,"accel":"0000000000008f020000e1faffff0000010000000000"})",
          R"({"t":1002000000,"key":"down","code":0,"flags":0,"repeat":false})",
          R"({"t":1090000000,"key":"up","code":0,"flags":256})",
          R"({"t":999000000,"mic":"AAAAPwAAgL4=","rate":8000})",
          R"({"t":1003000000,"mic":"AAAAAAAAgD8AAIC/","rate":48000})"}) {
        EXPECT_NE(text.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(text.rfind(kHeader, 0), 0u);

    // All but the last, whose t is 2^64 - 1: written, but the reader refuses
    // a span over a day.
    std::vector<TraceRecord> back;
    const auto error = parseTrace(text, back);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->text(), "line 11: t 18446744073709551615 lies more than 24 hours after the "
                             "first record (t 999000000); a trace spans at most that");
    EXPECT_EQ(back, std::vector(records.begin(), records.end() - 1));

    // The same records held compactly by a loaded trace, and counted.
    std::optional<TraceError> loadError;
    TraceReader reader(std::make_unique<std::istringstream>(written(back)), "mem");
    const auto loaded = LoadedTrace::read(reader, "mem", loadError);
    ASSERT_TRUE(loaded) << loadError->text();
    TraceRecord record;
    for (std::size_t i = 0; i < back.size(); ++i) {
        loaded->get(i, record);
        EXPECT_EQ(record, back[i]) << "record " << i;
    }
    EXPECT_EQ(loaded->summary().micBlocks, 2u);
    EXPECT_EQ(loaded->summary().micSamples, 5u);
}

TEST(SessionTrace, ALongMicBlockIsSplitIntoLinesStampedAtTheirFirstSample) {
    std::vector<float> samples(kTraceMicMaxSamplesPerLine * 2 + 5);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = float(i % 977) / 977.0f - 0.5f;
    }
    samples[7] = std::numeric_limits<float>::quiet_NaN();
    std::ostringstream out;
    TraceWriter writer(out);
    EXPECT_FALSE(writer.writeMic(0, samples.data(), 0, 48000));
    EXPECT_FALSE(writer.writeMic(0, samples.data(), 4, 999));
    ASSERT_TRUE(writer.writeMic(1'000'000, samples.data(), samples.size(), 16000));
    std::vector<TraceRecord> back;
    const auto error = parseTrace(out.str(), back);
    ASSERT_FALSE(error) << error->text();
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[1].t, 1'000'000u + kTraceMicMaxSamplesPerLine * 1'000'000'000ull / 16000);
    samples[7] = 0.0f; // a non-finite sample is written as silence
    std::vector<float> joined;
    for (const auto& r : back) {
        EXPECT_EQ(r.rate, 16000u);
        joined.insert(joined.end(), r.mic.begin(), r.mic.end());
    }
    EXPECT_EQ(joined, samples);
}

TEST(SessionTrace, WriterRefusesRecordsThatGoBackInTime) {
    std::ostringstream out;
    TraceWriter writer(out);
    EXPECT_TRUE(writer.writeKey(500, {TraceKeyKind::down, 1, 0, false}));
    EXPECT_TRUE(writer.writeKey(500, {TraceKeyKind::up, 1, 0, false}));
    EXPECT_FALSE(writer.writeKey(499, {TraceKeyKind::down, 2, 0, false}));
    EXPECT_EQ(writer.recordsWritten(), 2u);
    std::vector<TraceRecord> back;
    ASSERT_FALSE(parseTrace(out.str(), back));
    EXPECT_EQ(back.size(), 2u);
}

TEST(SessionTrace, EveryMalformedLineIsRefusedWithItsNumber) {
    struct Case {
        std::string text;
        std::size_t line;
        std::string mentions;
    };
    std::vector<Case> cases;
    std::istringstream fixture(readFile(std::filesystem::path(CLAVIO_TEST_DATA_DIR) / "traces" /
                                        "malformed.jsonl"));
    for (std::string line; std::getline(fixture, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto c = nlohmann::json::parse(line);
        cases.push_back({c.contains("text") ? c["text"].get<std::string>()
                                            : kHeader + kGoodRecord + c["record"].get<std::string>() + "\n",
                         c["line"], c["mentions"]});
    }
    ASSERT_GT(cases.size(), 40u);
    // A deeply nested value is quoted cut short, never dumped whole.
    cases.push_back({kHeader + kGoodRecord + R"({"t":)" + std::string(30000, '[') +
                         std::string(30000, ']') + R"(,"key":"up","code":0,"flags":0})" + "\n",
                     3, "\"t\" must be an unsigned 64-bit integer, not [[[[[[[[[[[[[[[[[...]]]]"});
    cases.push_back({kHeader + kGoodRecord + "{\"t\":2000,\"accel\":\"" +
                         std::string(kTraceMaxLineLength, '0') + "\"}\n",
                     3, "longer than"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        std::vector<TraceRecord> records;
        const auto error = parseTrace(c.text, records, "t.jsonl");
        ASSERT_TRUE(error);
        EXPECT_EQ(error->line, c.line);
        EXPECT_NE(error->message.find(c.mentions), std::string::npos) << error->message;
        EXPECT_EQ(error->text().rfind("t.jsonl: line " + std::to_string(c.line) + ": ", 0), 0u)
            << error->text();
        EXPECT_EQ(error->text().find_first_of(std::string("\n\r\0", 3)), std::string::npos)
            << "one line: " << error->text();
        EXPECT_EQ(records.size(), c.line == 3 ? 1u : 0u);
    }
}
TEST(SessionTrace, ReaderStopsForGoodAtTheFirstError) {
    const std::string text = kHeader + kGoodRecord + "{bad\n" +
                             R"({"t":3000,"key":"up","code":0,"flags":0})"
                             "\n";
    TraceReader reader(std::make_unique<std::istringstream>(text), "mem");
    TraceRecord record;
    EXPECT_TRUE(reader.next(record));
    EXPECT_FALSE(reader.next(record));
    EXPECT_FALSE(reader.next(record));
    ASSERT_TRUE(reader.error());
    EXPECT_EQ(reader.error()->line, 3u);
}

TEST(SessionTrace, TolerantOfUnknownMembersBomCrlfUpperCaseHexAndTrailingBlankLines) {
    const std::string text =
        "\xEF\xBB\xBF{\"format\":\"clavio-trace\",\"version\":1,\"recorder\":\"x\",\"host\":{\"a\":"
        "1}}\r\n"
        "{\"t\":10,\"accel\":\"ABcd\",\"device\":\"hidraw0\"}\r\n"
        "{\"note\":[1,2],\"t\":20,\"key\":\"flags\",\"code\":57,\"flags\":65536,\"repeat\":7}\n"
        "{\"t\":20,\"key\":\"up\",\"code\":3,\"flags\":0}\n"
        "\n  \n\r\n";
    std::vector<TraceRecord> records;
    const auto error = parseTrace(text, records);
    ASSERT_FALSE(error) << error->text();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].accel, (std::vector<std::uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(records[1].key, (TraceKey{TraceKeyKind::flags, 57, 65536, false}));
    EXPECT_EQ(records[2].t, 20u);

    // A last line without a newline is a line like any other.
    ASSERT_FALSE(parseTrace(kHeader + R"({"t":1,"key":"up","code":0,"flags":0})", records));
    EXPECT_EQ(records.size(), 1u);
}

