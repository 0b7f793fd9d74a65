// Merging the keyboard's and the accelerometer's records into one trace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "engine/replay/trace_recorder.h"

using namespace clavio;
using Lane = TraceRecorder::Lane;

namespace {

const std::uint8_t kReport[22] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0};

std::vector<TraceRecord> readBack(const std::string& text) {
    std::vector<TraceRecord> records;
    const auto error = parseTrace(text, records, "recorded");
    EXPECT_FALSE(error) << error->text();
    return records;
}

} // namespace

TEST(TraceRecorder, ARecordWaitsUntilNoLaneCanStillPrecedeIt) {
    std::ostringstream out;
    TraceWriter writer(out);
    TraceRecorder recorder;
    recorder.beginSlice(Lane::keys, 100);
    recorder.pushKey(150, {TraceKeyKind::down, 4, 0, false});
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 0u) << "the report lane has promised nothing yet";

    recorder.beginSlice(Lane::reports, 140);
    recorder.pushReport(145, kReport, sizeof kReport);
    recorder.beginSlice(Lane::keys, 200);
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 0u) << "a report stamped 140..145 could still come";

    recorder.beginSlice(Lane::reports, 300);
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 2u);

    // A closed lane holds nothing back.
    recorder.pushKey(250, {TraceKeyKind::up, 4, 0, false});
    recorder.closeLane(Lane::keys);
    recorder.pushReport(310, kReport, 5); // wrong length: recorded as it is
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 3u) << "the report at 310 is past the report lane's 300";
    EXPECT_TRUE(recorder.flush(writer));

    EXPECT_EQ(readBack(out.str()),
              (std::vector<TraceRecord>{
                  TraceRecord::makeAccel(145, kReport, sizeof kReport),
                  TraceRecord::makeKey(150, {TraceKeyKind::down, 4, 0, false}),
                  TraceRecord::makeKey(250, {TraceKeyKind::up, 4, 0, false}),
                  TraceRecord::makeAccel(310, kReport, 5)}));
    EXPECT_EQ(recorder.keysWritten(), 2u);
    EXPECT_EQ(recorder.reportsWritten(), 2u);
}

TEST(TraceRecorder, AFullLaneDropsAndCountsAndOversizedReportsAreLeftOut) {
    std::ostringstream out;
    TraceWriter writer(out);
    TraceRecorder recorder(4);
    recorder.closeLane(Lane::reports);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(recorder.pushKey(10 + i, {TraceKeyKind::down, 1, 0, false}), i < 4);
    }
    EXPECT_EQ(recorder.dropped(), 2u);
    const std::uint8_t big[TraceRecorder::kMaxReportLength + 1] = {};
    EXPECT_FALSE(recorder.pushReport(20, big, sizeof big));
    EXPECT_EQ(recorder.oversized(), 1u);
    EXPECT_TRUE(recorder.flush(writer));
    EXPECT_EQ(readBack(out.str()).size(), 4u);
    // Room again once drained.
    EXPECT_TRUE(recorder.pushKey(30, {TraceKeyKind::up, 1, 0, false}));
}

TEST(TraceRecorder, MicBlocksJoinTheMergeAtTheirFirstSampleAndSplitIntoSlots) {
    std::ostringstream out;
    TraceWriter writer(out);
    TraceRecorder withoutMic;
    const std::vector<float> block(TraceRecorder::kMicSlotSamples + 10, 0.25f);
    EXPECT_FALSE(withoutMic.pushMic(100, block.data(), 8, 48000)) << "no microphone lane";

    TraceRecorder recorder(16, 4);
    recorder.closeLane(Lane::reports);
    recorder.beginSlice(Lane::keys, 5'000'000);
    recorder.pushKey(5'000'000, {TraceKeyKind::down, 4, 0, false});
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 0u) << "a mic block from before the key may still come";
    EXPECT_FALSE(recorder.pushMic(900'000, block.data(), 8, 500)) << "a rate no trace carries";
    // Two slots: 1024 samples at 900000, 10 at 900000 + 21333333.
    EXPECT_TRUE(recorder.pushMic(900'000, block.data(), block.size(), 48000));
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 2u) << "the first slot and the key; the second slot waits";
    recorder.beginSlice(Lane::keys, 30'000'000);
    EXPECT_TRUE(recorder.drain(writer));
    EXPECT_EQ(writer.recordsWritten(), 3u);
    EXPECT_TRUE(recorder.pushMic(40'000'000, block.data(), 3, 48000));
    EXPECT_TRUE(recorder.pushMic(50'000'000, block.data(), block.size(), 48000));
    EXPECT_FALSE(recorder.pushMic(100'000'000, block.data(), block.size(), 48000)) << "full";
    recorder.closeLane(Lane::mic);
    recorder.closeLane(Lane::keys);
    EXPECT_TRUE(recorder.flush(writer));

    const auto records = readBack(out.str());
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[1].type, TraceRecord::Type::key);
    EXPECT_EQ(records[2].t, 900'000u + 1024ull * 1'000'000'000u / 48000u);
    EXPECT_EQ(records[2].mic.size(), 10u);
    EXPECT_EQ(records[3].mic, std::vector<float>(3, 0.25f));
    EXPECT_EQ(records[6].t, 100'000'000u);
    EXPECT_EQ(recorder.micBlocksWritten(), 6u);
    EXPECT_EQ(recorder.dropped(), 2u);
}

// Two producer threads against a consumer, on a shared counter standing in
// for the process clock: whatever the interleaving, every record arrives once
// and the trace never goes back in time. Run under ThreadSanitizer too.
TEST(TraceRecorder, ConcurrentLanesMergeIntoOneOrderedTrace) {
    constexpr int kPerLane = 20000;
    std::ostringstream out;
    TraceWriter writer(out);
    TraceRecorder recorder(256);
    std::atomic<std::uint64_t> clock{1};
    std::atomic<int> open{2};

    const auto produce = [&](Lane lane) {
        int pushed = 0;
        while (pushed < kPerLane) {
            recorder.beginSlice(lane, clock.load());
            for (int i = 0; i < 7 && pushed < kPerLane; ++i) {
                const std::uint64_t t = clock.fetch_add(1);
                if (t % 97 == 0) {
                    // A source that stamped its record and is slow to push it:
                    // the other lane's later records must wait for it.
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
                const bool ok = lane == Lane::keys
                                    ? recorder.pushKey(t, {TraceKeyKind::down, 2, 0, false})
                                    : recorder.pushReport(t, kReport, sizeof kReport);
                if (ok) {
                    ++pushed;
                } else {
                    std::this_thread::yield(); // full: let the consumer catch up
                    break;
                }
            }
        }
        recorder.closeLane(lane);
        open.fetch_sub(1);
    };
    std::thread keys(produce, Lane::keys);
    std::thread reports(produce, Lane::reports);
    while (open.load() > 0) {
        ASSERT_TRUE(recorder.drain(writer));
    }
    keys.join();
    reports.join();
    ASSERT_TRUE(recorder.flush(writer));

    const auto records = readBack(out.str()); // the reader refuses backward times
    ASSERT_EQ(records.size(), std::size_t(2 * kPerLane));
    EXPECT_EQ(recorder.keysWritten(), std::uint64_t(kPerLane));
    EXPECT_EQ(recorder.reportsWritten(), std::uint64_t(kPerLane));
    // Stamps are unique here, so a record written out of its place would have
    // been moved to a later time (and show up as a repeated time).
    for (std::size_t i = 1; i < records.size(); ++i) {
        ASSERT_LT(records[i - 1].t, records[i].t) << "at record " << i;
    }
}
