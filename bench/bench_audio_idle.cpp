// What an idle audio stream costs, and how fast a suspended one comes back.
//
// Runs the real mixer on the real SDL2 output. The driver is SDL's own choice
// of SDL_AUDIODRIVER, "dummy" when it is unset (real-time cadence, output
// discarded); for a real sound server start PulseAudio on a null sink (see
// TESTING.md) and run with SDL_AUDIODRIVER=pulseaudio
// CLAVIO_BENCH_SERVER_PID=<its pid> to count the server's CPU time as well.
//
// idleCost: the stream with no voice for CLAVIO_BENCH_IDLE_SECONDS (20 by
// default) as it was (idle saving off) and as it is (suspended after the
// quiet spell), in alternating segments of the same run:
//   running_pct  CPU time of this process over wall time, stream running
//   idle_pct     the same with the output suspended (measured once it is)
//   x_running    idle_pct / running_pct
//   server_*_pct the sound server's CPU over the same spans (when its pid is
//                given)
//
// resume: after the output suspended (delay 100 ms), the time from
// noteActivity() to the first render, and from a playSample() without one to
// the render that mixes its voice; beside them, the same play-to-mix time on a
// stream that never suspends (the reference, same run):
//   note_median_ms, note_max_ms   noteActivity to first render
//   play_median_ms, play_max_ms   playSample to its first mixed cycle
//   running_median_ms             playSample to mix on a running stream
//   x_running                     play_median_ms / running_median_ms
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio/audio_engine.h"
#include "engine/core/log.h"
#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sndfile_decoder.h"

using namespace clavio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double processCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

// utime + stime of another process, from /proc/<pid>/stat; 0 when unknown.
double serverCpuSeconds() {
    const char* pid = std::getenv("CLAVIO_BENCH_SERVER_PID");
    if (!pid || !*pid) {
        return 0.0;
    }
    FILE* f = std::fopen(("/proc/" + std::string(pid) + "/stat").c_str(), "r");
    if (!f) {
        return 0.0;
    }
    char buf[2048];
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    if (!p) {
        return 0.0;
    }
    // Fields after the command: state is field 3, utime 14, stime 15.
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
        2) {
        return 0.0;
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

void chooseDriver() {
    setenv("SDL_AUDIODRIVER", "dummy", 0); // keeps a driver the caller chose
    setLogSink([](std::string_view) {});
}

double idleSeconds() {
    const char* text = std::getenv("CLAVIO_BENCH_IDLE_SECONDS");
    const double s = text ? std::atof(text) : 0.0;
    return s > 0.0 ? s : 20.0;
}

template <typename Pred> bool waitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50us);
    }
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double maximum(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Segment {
    double ownPct = 0.0;
    double serverPct = 0.0;
};

// One stream with no voice: idle saving on or off; measured once the output
// suspended (on) or after the same quiet spell (off).
Segment measureQuiet(bool saving, double seconds, benchmark::State& state) {
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    AudioEngine engine(decoder, output);
    engine.setIdleSuspend(saving ? 500ms : 0ms);
    Segment seg;
    if (!engine.start()) {
        state.SkipWithError("the audio output does not start");
        return seg;
    }
    if (saving) {
        if (!waitFor([&] { return engine.outputSuspended(); }, 10s)) {
            state.SkipWithError("the output never suspended");
            return seg;
        }
    } else {
        std::this_thread::sleep_for(500ms);
    }
    const double own0 = processCpuSeconds();
    const double server0 = serverCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = msSince(t0) / 1000.0;
    seg.ownPct = 100.0 * (processCpuSeconds() - own0) / wall;
    seg.serverPct = 100.0 * (serverCpuSeconds() - server0) / wall;
    engine.stop();
    return seg;
}

void idleCost(benchmark::State& state) {
    chooseDriver();
    const double half = idleSeconds() / 2.0;
    Segment running, idle;
    for (auto _ : state) {
        for (int round = 0; round < 2; ++round) {
            const Segment a = measureQuiet(false, half, state);
            const Segment b = measureQuiet(true, half, state);
            running.ownPct += a.ownPct / 2;
            running.serverPct += a.serverPct / 2;
            idle.ownPct += b.ownPct / 2;
            idle.serverPct += b.serverPct / 2;
        }
    }
    state.counters["running_pct"] = running.ownPct;
    state.counters["idle_pct"] = idle.ownPct;
    state.counters["x_running"] = running.ownPct > 0 ? idle.ownPct / running.ownPct : 0.0;
    if (std::getenv("CLAVIO_BENCH_SERVER_PID")) {
        state.counters["server_running_pct"] = running.serverPct;
        state.counters["server_idle_pct"] = idle.serverPct;
    }
}

void resume(benchmark::State& state) {
    chooseDriver();
    platform::SndfileDecoder decoder;
    DecodedAudio click;
    click.frameCount = 48;
    click.channelCount = 1;
    click.sampleRate = 48000.0;
    click.frames.assign(48, 0.25f);
    std::vector<double> note, play, running;
    for (auto _ : state) {
        {
            platform::SdlAudioOutput output;
            AudioEngine engine(decoder, output);
            engine.setIdleSuspend(100ms);
            const std::int32_t index = engine.addDecodedSample(DecodedAudio(click));
            if (!engine.start()) {
                state.SkipWithError("the audio output does not start");
                return;
            }
            const auto suspended = [&] { return engine.outputSuspended(); };
            for (int k = 0; k < 20; ++k) {
                if (!waitFor(suspended, 5s)) {
                    state.SkipWithError("the output never suspended");
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(7 * k % 30));
                const auto calls = engine.renderCallCount();
                const auto t0 = Clock::now();
                engine.noteActivity();
                waitFor([&] { return engine.renderCallCount() > calls; }, 5s);
                note.push_back(msSince(t0));

                waitFor(suspended, 5s);
                std::this_thread::sleep_for(std::chrono::milliseconds(11 * k % 30));
                const auto hits = engine.activeVoiceHits();
                const auto t1 = Clock::now();
                engine.play(index, 0.5f, 1.0f);
                waitFor([&] { return engine.activeVoiceHits() > hits; }, 5s);
                play.push_back(msSince(t1));
            }
            engine.stop();
        }
        {
            platform::SdlAudioOutput output;
            AudioEngine engine(decoder, output);
            engine.setIdleSuspend(0ms);
            const std::int32_t index = engine.addDecodedSample(DecodedAudio(click));
            engine.start();
            for (int k = 0; k < 20; ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20 + 7 * k % 30));
                const auto hits = engine.activeVoiceHits();
                const auto t0 = Clock::now();
                engine.play(index, 0.5f, 1.0f);
                waitFor([&] { return engine.activeVoiceHits() > hits; }, 5s);
                running.push_back(msSince(t0));
            }
            engine.stop();
        }
    }
    state.counters["note_median_ms"] = median(note);
    state.counters["note_max_ms"] = maximum(note);
    state.counters["play_median_ms"] = median(play);
    state.counters["play_max_ms"] = maximum(play);
    state.counters["running_median_ms"] = median(running);
    state.counters["x_running"] = median(running) > 0 ? median(play) / median(running) : 0.0;
}

} // namespace

BENCHMARK(idleCost)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(resume)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
