// The microphone's strike envelope on the capture thread, against a plain
// copy of the same 5 ms blocks (48 kHz mono). A block's time over 5 ms is
// the share of a core the capture costs; the counters check that every
// sample was processed and one envelope value came per millisecond.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/sensing/mic_envelope.h"

using namespace clavio;

namespace {
constexpr std::uint32_t kBlock = 240;
constexpr double kRate = 48000.0;

std::vector<float> noiseSeconds(double seconds) {
    std::vector<float> s(std::size_t(seconds * kRate));
    std::uint32_t x = 1;
    for (float& v : s) {
        x = x * 1664525u + 1013904223u;
        v = float(x >> 8) / float(1u << 24) * 0.01f - 0.005f;
    }
    return s;
}

void BM_MicEnvelopeBlock(benchmark::State& state) {
    const auto samples = noiseSeconds(1.0);
    auto ring = std::make_unique<TCARingBuffer>();
    auto envelope = std::make_unique<TCAMicEnvelope>();
    tca_ring_init(ring.get());
    tca_mic_envelope_init(envelope.get(), ring.get());
    std::uint64_t ticks = 1'000'000'000;
    std::size_t at = 0;
    for (auto _ : state) {
        tca_mic_envelope_process(envelope.get(), samples.data() + at, kBlock, kRate, ticks);
        ticks += 5'000'000;
        at = (at + kBlock) % (samples.size() - kBlock);
    }
    const double blocks = double(state.iterations());
    state.counters["samples_per_block"] = double(envelope->samples.load()) / blocks;
    state.counters["ms_per_block"] = double(envelope->written.load()) / blocks;
}
BENCHMARK(BM_MicEnvelopeBlock);

void BM_CopyBlock(benchmark::State& state) {
    const auto samples = noiseSeconds(1.0);
    std::vector<float> copy(kBlock);
    std::size_t at = 0;
    for (auto _ : state) {
        std::memcpy(copy.data(), samples.data() + at, kBlock * sizeof(float));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
        at = (at + kBlock) % (samples.size() - kBlock);
    }
}
BENCHMARK(BM_CopyBlock);
} // namespace
