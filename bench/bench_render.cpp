// Speed of offline rendering: the bundled demo session through the whole
// pipeline on virtual time (trace check, pack decoding, coordinator, sensing
// entry points, classification, mixer, 64-frame pulls) into a sink that
// keeps nothing.
//
// Counters:
//   audio_s_per_cpu_s  seconds of audio rendered per second of process CPU
//                      time (real time is 1)
//   x_trace_read       the render's CPU time over one plain read of the same
//                      trace (summarizeTrace: every line parsed and checked),
//                      measured in the same iterations; the render reads the
//                      trace twice, so 2 is its floor
#include <benchmark/benchmark.h>

#include <time.h>

#include <memory>

#include "engine/core/log.h"
#include "engine/render/offline_renderer.h"
#include "engine/replay/session_trace.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/desktop/resource_dir.h"

using namespace clavio;

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BM_RenderDemoSession(benchmark::State& state) {
    const auto resources = platform::resourceDir();
    const auto trace = resources / "demo" / "demo.trace.jsonl";
    platform::SndfileDecoder decoder;
    const LogSink previous = setLogSink([](std::string_view) {});
    double renderCpu = 0, readCpu = 0, audio = 0;
    for (auto _ : state) {
        OfflineRenderConfig config;
        config.settings = std::make_shared<ToccaSettings>();
        config.audioDecoder = &decoder;
        config.bundledPacksFolder = resources / "SoundPacks";
        config.audioSink = [](const float* frames, std::uint32_t) {
            benchmark::DoNotOptimize(frames);
            return true;
        };
        const double t0 = processCpuSeconds();
        const OfflineRenderResult result = OfflineRenderer(std::move(config)).render(trace);
        const double t1 = processCpuSeconds();
        TraceReader reader(trace);
        TraceSummary summary;
        benchmark::DoNotOptimize(summarizeTrace(reader, summary));
        const double t2 = processCpuSeconds();
        if (!result.ok() || result.presses.empty()) {
            state.SkipWithError("the demo session did not render");
            break;
        }
        renderCpu += t1 - t0;
        readCpu += t2 - t1;
        audio += result.seconds();
    }
    setLogSink(previous);
    state.counters["audio_s_per_cpu_s"] = renderCpu > 0 ? audio / renderCpu : 0.0;
    state.counters["x_trace_read"] = readCpu > 0 ? renderCpu / readCpu : 0.0;
}
BENCHMARK(BM_RenderDemoSession)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
