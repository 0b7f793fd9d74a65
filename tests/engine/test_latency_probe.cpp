// The latency probe's late-cycle count on virtual time: a cycle is late when
// it starts more than two of the previous cycle's periods, at the rate the
// output got, after that cycle.
#include <gtest/gtest.h>

#include <vector>

#include "engine/audio/latency_probe_output.h"
#include "engine/audio/offline_audio_output.h"
#include "engine/ports/clock.h"

using namespace clavio;

namespace {
int silence(void*, std::uint32_t, AudioBuffer*, std::uint32_t) noexcept {
    return 0;
}
} // namespace

TEST(LatencyProbe, CountsCyclesThatStartMoreThanTwoPeriodsAfterThePrevious) {
    struct Step {
        std::uint32_t frames;   // of the cycle pulled at this step
        double gapMs;           // since the previous cycle
        bool late;
    };
    struct Case {
        double rate;
        std::vector<Step> steps; // the first step's gap is not judged
    };
    // 256 frames: 5.33 ms at 48 kHz, 5.80 ms at 44.1 kHz; 512 frames twice that.
    const Case cases[] = {
        {48000.0, {{256, 0, false}, {256, 5.3, false}, {256, 10.6, false}, {256, 10.7, true},
                   {512, 40.0, true}, {256, 21.3, false}, {256, 21.4, true}}},
        {44100.0, {{256, 0, false}, {256, 11.5, false}, {256, 11.7, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        VirtualClock clock(1'000'000'000);
        ClockSource* previous = setClockSource(&clock);
        OfflineAudioOutput inner(c.rate);
        LatencyProbeOutput probe(inner);
        ASSERT_TRUE(probe.start(AudioOutputRequest{}, &silence, nullptr).started);
        std::vector<float> buffer(2 * 512);
        std::uint64_t late = 0, longest = 0;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto gap = std::uint64_t(c.steps[i].gapMs * 1e6);
            clock.advance(gap);
            inner.pull(buffer.data(), c.steps[i].frames);
            late += c.steps[i].late;
            longest = i ? std::max(longest, gap) : 0;
            EXPECT_EQ(probe.lateCycles(), late) << "step " << i;
        }
        EXPECT_EQ(probe.cycles(), c.steps.size());
        EXPECT_EQ(probe.longestGapTicks(), longest);
        probe.stop();
        setClockSource(previous);
    }
}
