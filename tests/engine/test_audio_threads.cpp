// The mixer under concurrent use. These are meant to run under
// AddressSanitizer (use after free of sample data) and ThreadSanitizer
// (voices published before their fields); the value checks catch the same
// faults in a plain build when the timing is unlucky enough.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

#include "tests/engine/mixer_rig.h"

using namespace clavio;
using clavio::testing::MixerRig;

namespace {
// Pulls 256-frame cycles until told to stop, like an output thread.
class RenderThread {
public:
    explicit RenderThread(MixerRig& rig, std::function<void(const float*, std::uint32_t)> check)
        : _thread([this, &rig, check = std::move(check)] {
              std::vector<float> block(512);
              while (!_stop.load(std::memory_order_relaxed)) {
                  rig.output.pull(block.data(), 256);
                  check(block.data(), 256);
                  _cycles.fetch_add(1, std::memory_order_relaxed);
              }
          }) {}
    ~RenderThread() { join(); }
    void join() {
        _stop.store(true);
        if (_thread.joinable()) {
            _thread.join();
        }
    }
    std::uint64_t cycles() const { return _cycles.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> _stop{false};
    std::atomic<std::uint64_t> _cycles{0};
    std::thread _thread;
};
} // namespace

TEST(AudioThreads, UnloadWhileRenderingThirtyTwoVoicesNeverFreesWhatAVoiceReadsUnderAddressSanitizer) {
    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    std::atomic<int> badFrames{0};
    std::atomic<int> soundingCycles{0};
    // Every sample is 1.0 at gain 1.0, so every output value is a whole
    // number of voices between 0 and 32; anything else was read from memory
    // that no longer held the sample.
    RenderThread render(rig, [&](const float* out, std::uint32_t frames) {
        for (std::uint32_t k = 0; k < 2 * frames; ++k) {
            if (!(out[k] >= 0.0f && out[k] <= 32.0f && out[k] == std::floor(out[k]))) {
                badFrames.fetch_add(1, std::memory_order_relaxed);
            }
        }
        soundingCycles.fetch_add(out[0] != 0.0f, std::memory_order_relaxed);
    });
    const int rounds = 2000;
    for (int round = 0; round < rounds; ++round) {
        const auto mono = rig.add(std::vector<float>(2048, 1.0f), 1);
        const auto stereo = rig.add(std::vector<float>(2 * 2048, 1.0f), 2);
        const auto many = rig.add(std::vector<float>(3 * 2048, 1.0f), 3);
        ASSERT_EQ(mono, 0);
        for (int v = 0; v < 32; ++v) {
            rig.engine.playSample(v % 3 == 0   ? mono
                                  : v % 3 == 1 ? stereo
                                               : many,
                                  1.0f, v % 2 ? 1.0f : 0.75f);
        }
        // Vary how far into the voices the unload lands.
        const auto start = render.cycles();
        while (render.cycles() < start + std::uint64_t(round % 3)) {
            std::this_thread::yield();
        }
        rig.engine.unloadAllSamples();
        EXPECT_EQ(rig.engine.busyVoiceCount(), 0u);
    }
    render.join();
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_GT(soundingCycles.load(), 0) << "the render thread never mixed a voice";
    EXPECT_EQ(rig.pull(256), std::vector<float>(512, 0.0f));
}

