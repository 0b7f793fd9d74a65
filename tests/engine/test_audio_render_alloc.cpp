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

void* countedAlloc(std::size_t size) {
    if (tArmed) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    return std::malloc(size ? size : 1);
}

void* countedAlignedAlloc(std::size_t size, std::size_t alignment) {
    if (tArmed) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    return std::aligned_alloc(alignment, rounded ? rounded : alignment);
}

struct Armed {
    Armed() { tArmed = true; }
    ~Armed() { tArmed = false; }
};
} // namespace

void* operator new(std::size_t size) {
    if (void* p = countedAlloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAlloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAlloc(size);
}
void* operator new(std::size_t size, std::align_val_t al) {
    if (void* p = countedAlignedAlloc(size, std::size_t(al))) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t al) {
    return operator new(size, al);
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
using clavio::testing::MixerRig;

TEST(AudioRenderAlloc, RenderingAllocatesNothing) {
    // The counter itself works: an allocation while armed is seen.
    {
        Armed armed;
        gSink = ::operator new(64); // a call, not a new-expression: never elided
        ::operator delete(gSink);
    }
    ASSERT_EQ(gAllocations.exchange(0), 1);

    MixerRig rig;
    ASSERT_TRUE(rig.engine.start());
    const auto mono = rig.add(std::vector<float>(600, 0.5f), 1);
    const auto stereo = rig.add(std::vector<float>(2 * 700, 0.25f), 2);
    const auto many = rig.add(std::vector<float>(6 * 300, 0.125f), 6);
    for (int v = 0; v < 32; ++v) {
        ASSERT_TRUE(rig.engine.playSample(v % 3 == 0   ? mono
                                          : v % 3 == 1 ? stereo
                                                       : many,
                                          1.0f, 1.0f + 0.01f * float(v)));
    }
    std::vector<float> interleaved(512);
    std::vector<float> left(256), right(256);
    const auto hits = TCAAudioEngine::activeVoiceHits();
    {
        Armed armed;
        // Split and interleaved layouts, through every voice's end.
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
