#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/audio/latency_probe_output.h"
#include "engine/audio/offline_audio_output.h"
#include "tests/support/motion_fixtures.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

struct Counting {
    std::atomic<int> calls{0};
    static int render(void* context, std::uint32_t, AudioBuffer* buffers,
                      std::uint32_t count) noexcept {
        static_cast<Counting*>(context)->calls.fetch_add(1);
        for (std::uint32_t b = 0; b < count; ++b) {
            buffers[b].data[0] = 0.5f; // proves the wrapped render ran into the caller's buffer
        }
        return 0;
    }
};

} // namespace

TEST(LatencyProbeOutput, EachPressGetsTheStartOfTheFirstCycleAfterIt) {
    ScopedVirtualClock clock(1000);
    OfflineAudioOutput inner;
    LatencyProbeOutput probe(inner);
    Counting mixer;
    ASSERT_TRUE(probe.start({}, &Counting::render, &mixer).started);
    float buffer[128] = {};
    std::vector<LatencyProbeOutput::Measurement> got;

    inner.pull(buffer, 64); // a cycle before any press measures nothing
    EXPECT_EQ(probe.drain(got), 0u);
    EXPECT_EQ(buffer[0], 0.5f);

    probe.notePress(900);
    probe.notePress(950);
    EXPECT_EQ(probe.drain(got), 0u); // not rendered yet
    clock.set(2000);
    inner.pull(buffer, 64);
    probe.notePress(1990); // after that cycle began: the next one
    clock.set(3333);
    inner.pull(buffer, 64);
    clock.set(4000);
    inner.pull(buffer, 64);
    ASSERT_EQ(probe.drain(got), 3u);
    EXPECT_EQ(got[0].keyTicks, 900u);
    EXPECT_EQ(got[0].firstFrameTicks, 2000u);
    EXPECT_EQ(got[1].delayTicks(), 1050);
    EXPECT_EQ(got[0].firstFrame, 64u); // after the first cycle's 64 frames
    EXPECT_EQ(got[2].keyTicks, 1990u);
    EXPECT_EQ(got[2].firstFrameTicks, 3333u);
    EXPECT_EQ(got[2].firstFrame, 128u);
    EXPECT_EQ(mixer.calls.load(), 4);
    probe.stop();
    EXPECT_FALSE(inner.isStarted());
}

// A producer (the classify queue), the render thread and the consumer at once:
// every press comes out once, in order, never before its key. Run under
// ThreadSanitizer to prove the slots are handed over without a race.
TEST(LatencyProbeOutput, ThreeThreadsHandOverEveryPressOnce) {
    OfflineAudioOutput inner;
    LatencyProbeOutput probe(inner);
    Counting mixer;
    probe.start({}, &Counting::render, &mixer);
    constexpr std::uint64_t kPresses = 20000;
    std::atomic<bool> produced{false};
    std::thread producer([&] {
        for (std::uint64_t i = 0; i < kPresses; ++i) {
            // When the slots are full the press is dropped: wait and retry.
            while (probe.notePress(hostTicks()), probe.noted() == i) {
                std::this_thread::yield();
            }
        }
        produced = true;
    });
    std::thread render([&] {
        float buffer[16];
        while (!produced.load() || probe.noted() != kPresses) {
            inner.pull(buffer, 8);
        }
        inner.pull(buffer, 8);
    });
    std::vector<LatencyProbeOutput::Measurement> got;
    while (got.size() < kPresses) {
        probe.drain(got);
        std::this_thread::yield();
    }
    producer.join();
    render.join();
    ASSERT_EQ(got.size(), kPresses);
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_GE(got[i].firstFrameTicks, got[i].keyTicks);
        if (i > 0) {
            ASSERT_GE(got[i].keyTicks, got[i - 1].keyTicks);
        }
    }
}
