// Counts heap allocations made on the rendering thread by replacing the
// global allocation functions for this test program. They forward to
// malloc/free (so AddressSanitizer still sees matched pairs) and count only
// while the calling thread has armed the counter.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/engine/mixer_rig.h"

// The replacements below pair malloc with free by design; GCC cannot see that
// and warns where it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
thread_local bool tArmed = false;
std::atomic<int> gAllocations{0};
void* volatile gSink = nullptr;

void* counted(std::size_t size, std::size_t alignment = 0) {
    gAllocations.fetch_add(tArmed ? 1 : 0, std::memory_order_relaxed);
    const std::size_t rounded = alignment ? (size + alignment - 1) / alignment * alignment : size;
    return alignment ? std::aligned_alloc(alignment, rounded ? rounded : alignment)
                     : std::malloc(size ? size : 1);
}
void* orThrow(void* p) {
    return p ? p : throw std::bad_alloc();
}

struct Armed {
    Armed() { tArmed = true; }
    ~Armed() { tArmed = false; }
};
} // namespace

void* operator new(std::size_t n) {
    return orThrow(counted(n));
}
void* operator new[](std::size_t n) {
    return orThrow(counted(n));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return counted(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return counted(n);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return orThrow(counted(n, std::size_t(a)));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return orThrow(counted(n, std::size_t(a)));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

using namespace clavio;

TEST(AudioRenderAlloc, RenderingAllocatesNothing) {
    {
        Armed armed;                // the counter itself works
        gSink = ::operator new(64); // a call, not a new-expression: never elided
        ::operator delete(gSink);
    }
    ASSERT_EQ(gAllocations.exchange(0), 1);

    clavio::testing::MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    const std::int32_t samples[3] = {rig.add(std::vector<float>(600, 0.5f), 1),
                                     rig.add(std::vector<float>(1400, 0.25f), 2),
                                     rig.add(std::vector<float>(1800, 0.125f), 6)};
    for (int v = 0; v < 32; ++v) {
        ASSERT_TRUE(rig.engine.playSample(samples[v % 3], 1.0f, 1.0f + 0.01f * float(v)));
    }
    std::vector<float> interleaved(512), left(256), right(256);
    const auto hits = TCAAudioEngine::activeVoiceHits();
    {
        Armed armed; // split and interleaved layouts, through every voice's end
        for (int cycle = 0; cycle < 6; ++cycle) {
            if (cycle % 2) {
                rig.output.pullSplit(left.data(), right.data(), 256);
            } else {
                rig.output.pull(interleaved.data(), 256);
            }
        }
    }
    EXPECT_EQ(gAllocations.load(), 0);
    EXPECT_GE(TCAAudioEngine::activeVoiceHits(), hits + 32 * 2) << "voices were not mixed";
    EXPECT_EQ(rig.engine.busyVoiceCount(), 0u);
}
