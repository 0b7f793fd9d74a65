// Cost of one 256-frame render cycle of the mixer at 48 kHz, with 0, 8 and 32
// voices of mono or stereo samples, played at pitch factors 0.96 to 1.04 (as
// the keystroke pipeline plays them) or all at exactly 1.0 (`unit`), with the
// given mixing loops (`kernel` 2 AVX-512, 1 AVX2, 0 portable; the mixer picks
// the fastest the processor runs, and one it lacks is reported as skipped).
//
// Counters:
//   cycle_ns      mean thread CPU time of one render cycle (timed in segments
//                 between voice restarts; CPU time, so other processes on a
//                 busy machine do not inflate it)
//   rt_share_pct  that time as a share of the cycle's real time, 256 / 48000 s
//   x_reference   that time over a plain mixing loop doing the same work (zero
//                 the buffer, add gain x source into both channels for every
//                 voice, integer positions, no end checks, compiled for the
//                 build's default target and vectorised by the compiler),
//                 measured in the same run in alternating segments
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstring>
#include <vector>

#include "engine/audio/offline_audio_output.h"
#include "engine/audio/tca_audio_engine.h"
#include "engine/core/log.h"
#include "platform/linux/audio/sndfile_decoder.h"

using namespace clavio;

namespace {
constexpr std::uint32_t kFrames = 256;
constexpr int kCyclesPerSegment = 150; // voices of 48000 frames at up to 1.08 stay alive
constexpr double kCycleRealTimeNs = 1e9 * kFrames / 48000.0;

double threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

std::vector<float> makeSource(std::uint32_t frames, std::uint32_t channels) {
    std::vector<float> v(std::size_t(frames) * channels);
    std::uint32_t x = 12345;
    for (float& s : v) {
        x = x * 1664525u + 1013904223u;
        s = float(x >> 8) / float(1u << 24) - 0.5f;
    }
    return v;
}

// The plain loop the render function is compared with.
void referenceCycle(float* out, const std::vector<float>& source, std::uint32_t channels,
                    int voices, std::size_t position) {
    std::memset(out, 0, sizeof(float) * 2 * kFrames);
    for (int v = 0; v < voices; ++v) {
        const float g = 0.5f;
        if (channels == 1) {
            const float* src = source.data() + position;
            for (std::uint32_t n = 0; n < kFrames; ++n) {
                out[2 * n] += g * src[n];
                out[2 * n + 1] += g * src[n];
            }
        } else {
            const float* src = source.data() + 2 * position;
            for (std::uint32_t n = 0; n < kFrames; ++n) {
                out[2 * n] += g * src[2 * n];
                out[2 * n + 1] += g * src[2 * n + 1];
            }
        }
    }
}

void renderCycle(benchmark::State& state) {
    setLogSink([](std::string_view) {}); // one start line per run is noise here
    const int voices = int(state.range(0));
    const auto channels = std::uint32_t(state.range(1));
    const auto kernel = TCAMixKernel(state.range(2));
    const bool unitPitch = state.range(3) != 0;
    platform::SndfileDecoder decoder;
    OfflineAudioOutput output(48000.0);
    TCAAudioEngine engine(decoder, output);
    if (!engine.setMixKernel(kernel)) {
        state.SkipWithError("this processor cannot run these mixing loops");
        return;
    }
    engine.start();
    DecodedAudio audio;
    audio.frameCount = 48000;
    audio.channelCount = channels;
    audio.sampleRate = 48000.0;
    audio.frames = makeSource(audio.frameCount, channels);
    const std::vector<float> source = audio.frames;
    const std::int32_t index = engine.addDecodedSample(std::move(audio));
    std::vector<float> block(2 * kFrames);

    auto restartVoices = [&] {
        while (engine.busyVoiceCount() > 0) {
            output.pull(block.data(), kFrames);
        }
        for (int v = 0; v < voices; ++v) {
            engine.playSample(index, 0.5f, unitPitch ? 1.0f : 0.96f + 0.0025f * float(v));
        }
    };

    // Alternating segments of render and reference cycles.
    double renderNs = 0.0;
    double referenceNs = 0.0;
    const int segments = 40;
    for (int s = 0; s < segments; ++s) {
        restartVoices();
        const double t0 = threadCpuNs();
        for (int c = 0; c < kCyclesPerSegment; ++c) {
            output.pull(block.data(), kFrames);
            benchmark::DoNotOptimize(block.data());
            benchmark::ClobberMemory();
        }
        const double t1 = threadCpuNs();
        for (int c = 0; c < kCyclesPerSegment; ++c) {
            referenceCycle(block.data(), source, channels, voices, std::size_t(c) * kFrames);
            benchmark::DoNotOptimize(block.data());
            benchmark::ClobberMemory();
        }
        const double t2 = threadCpuNs();
        renderNs += t1 - t0;
        referenceNs += t2 - t1;
    }
    const double cycles = double(segments) * kCyclesPerSegment;

    restartVoices();
    int cycle = 0;
    for (auto _ : state) {
        output.pull(block.data(), kFrames);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
        if (++cycle == kCyclesPerSegment) {
            state.PauseTiming();
            restartVoices();
            cycle = 0;
            state.ResumeTiming();
        }
    }
    state.counters["cycle_ns"] = renderNs / cycles;
    state.counters["rt_share_pct"] = 100.0 * (renderNs / cycles) / kCycleRealTimeNs;
    state.counters["x_reference"] = referenceNs > 0.0 ? renderNs / referenceNs : 0.0;
    engine.stop();
}
} // namespace

BENCHMARK(renderCycle)
    ->ArgNames({"voices", "channels", "kernel", "unit"})
    ->ArgsProduct({{0, 8, 32}, {1, 2}, {2}, {0}})
    ->ArgsProduct({{32}, {1, 2}, {1, 0}, {0}})
    ->ArgsProduct({{32}, {1, 2}, {2, 1, 0}, {1}})
    ->Unit(benchmark::kMicrosecond);
