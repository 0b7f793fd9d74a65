// SnapshotCell: readers on several threads never see a snapshot freed or
// half-built while one writer replaces it over and over (run under
// AddressSanitizer and ThreadSanitizer), and a replacement waits for the
// readers that might still hold the old snapshot.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "engine/runtime/snapshot_cell.h"

using namespace clavio;
using namespace std::chrono_literals;

namespace {

// Every element holds the generation; a reader that sees two values saw a
// snapshot being built or freed.
struct Generation {
    explicit Generation(int g) : values(64, g) {}
    std::vector<int> values;
};

} // namespace

TEST(SnapshotCell, ReadersSeeWholeSnapshotsWhileOneWriterReplacesThem) {
    SnapshotCell<Generation> cell(std::make_unique<const Generation>(0));
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            int last = 0;
            while (!stop.load()) {
                const auto snapshot = cell.read();
                const int g = snapshot->values.front();
                for (int v : snapshot->values) {
                    if (v != g) {
                        ++torn;
                    }
                }
                if (g < last) {
                    ++torn; // generations never go back
                }
                last = g;
                ++reads;
            }
        });
    }
    while (reads.load() < 3) {
        std::this_thread::yield();
    }
    // At least 500 replacements, and on until the readers have read a good
    // deal while replacements went on.
    const long readsBefore = reads.load();
    int g = 0;
    while (++g <= 500 || (reads.load() - readsBefore < 2000 && g < 1'000'000)) {
        cell.publish(std::make_unique<const Generation>(g));
    }
    const int lastGeneration = g - 1;
    stop = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GE(reads.load() - readsBefore, 2000);
    EXPECT_EQ(cell.read()->values.back(), lastGeneration);
    EXPECT_EQ(cell.readersInside(), 0u);
}

TEST(SnapshotCell, PublishWaitsForAReaderStillHoldingTheOldSnapshot) {
    SnapshotCell<Generation> cell(std::make_unique<const Generation>(1));
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<int> seenAfterWait{0};
    std::thread reader([&] {
        const auto snapshot = cell.read();
        entered.set_value();
        release.get_future().wait();
        // Still the old snapshot, and still alive (AddressSanitizer).
        seenAfterWait = snapshot->values.back();
    });
    entered.get_future().wait();
    auto publishing = std::async(std::launch::async,
                                 [&] { cell.publish(std::make_unique<const Generation>(2)); });
    EXPECT_EQ(publishing.wait_for(50ms), std::future_status::timeout)
        << "publish returned while a reader held the old snapshot";
    // Readers arriving meanwhile get the new one (once the writer swapped).
    const auto until = std::chrono::steady_clock::now() + 5s;
    int seen = 1;
    while (seen != 2 && std::chrono::steady_clock::now() < until) {
        seen = std::async(std::launch::async, [&] { return cell.read()->values.back(); }).get();
    }
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(publishing.wait_for(0ms), std::future_status::timeout);
    release.set_value();
    reader.join();
    publishing.get();
    EXPECT_EQ(seenAfterWait.load(), 1);
}
