// Strike fidelity from the microphone: synthetic sessions of key clicks with
// known forces, rendered offline with velocitySource "microphone"; prints the
// markdown table of bench/mic_fidelity.sh.
//
// A press: a click 0-3 ms after the key event, a damped 3-6 kHz ring (the
// key's own pitch, decaying in 0.6-1.5 ms) whose peak is force x the key's
// distance factor (0.6-1.4) x 0.01 full scale; forces log-uniform over 1-10;
// white room noise of 0.002 peak; 48 kHz in 5 ms blocks.
//
//   clavio_mic_fidelity [--seconds S] [--seed N]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/rank_correlation.h"
#include "engine/core/log.h"
#include "engine/render/offline_renderer.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/audio/sndfile_decoder.h"

using namespace clavio;
using clavio::bench::spearman;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint64_t kOrigin = 1'000'000'000;

struct Press {
    std::uint64_t key;
    std::uint16_t code;
    double force;
};

struct Session {
    std::shared_ptr<const LoadedTrace> trace;
    std::vector<Press> presses;
    std::vector<float> samples; // the microphone, without feedback
    double clickPeak = 0.0;     // the median click's peak
};

std::shared_ptr<const LoadedTrace> buildTrace(const std::vector<float>& samples,
                                              const std::vector<Press>& presses);

Session makeSession(double seconds, double keysPerSecond, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Key {
        double distance, hz, decay;
    };
    std::map<std::uint16_t, Key> keys;
    for (std::uint16_t code = 0; code < 40; ++code) {
        keys[code] = {0.6 + 0.8 * unit(rng), 3000.0 + 3000.0 * unit(rng),
                      0.0006 + 0.0009 * unit(rng)};
    }
    struct Click {
        double at, amplitude, hz, decay;
    };
    Session session;
    std::vector<Click> clicks;
    // Presses at a steady pace with a little jitter, never closer than 40 ms.
    for (double t = 0.5; t < seconds - 0.5;
         t += std::max(0.04, (1.0 + 0.3 * (unit(rng) - 0.5)) / keysPerSecond)) {
        const auto code = std::uint16_t(rng() % keys.size());
        const double force = std::exp(std::log(10.0) * unit(rng));
        const Key& k = keys[code];
        session.presses.push_back({kOrigin + std::uint64_t(t * 1e9), code, force});
        clicks.push_back({t + 0.003 * unit(rng), 0.01 * force * k.distance, k.hz, k.decay});
    }
    std::vector<double> peaks;
    for (const Click& c : clicks) {
        peaks.push_back(c.amplitude);
    }
    std::nth_element(peaks.begin(), peaks.begin() + long(peaks.size() / 2), peaks.end());
    session.clickPeak = peaks[peaks.size() / 2];
    std::vector<float> samples(std::size_t(seconds * kRate));
    for (float& s : samples) {
        s = float(0.002 * (2.0 * unit(rng) - 1.0));
    }
    for (const Click& c : clicks) {
        const auto first = std::size_t(c.at * kRate);
        for (std::size_t i = 0; i < std::size_t(0.01 * kRate) && first + i < samples.size(); ++i) {
            const double dt = double(i) / kRate;
            samples[first + i] += float(c.amplitude * std::sin(2.0 * M_PI * c.hz * dt + 0.4) *
                                        std::exp(-dt / c.decay));
        }
    }
    session.trace = buildTrace(samples, session.presses);
    session.samples = std::move(samples);
    return session;
}

std::shared_ptr<const LoadedTrace> buildTrace(const std::vector<float>& samples,
                                              const std::vector<Press>& presses) {
    // Records in time order: mic blocks and key events merged.
    std::size_t block = 0;
    std::size_t press = 0;
    bool up = false;
    std::optional<TraceError> error;
    auto trace = LoadedTrace::build(
        "synthetic microphone session",
        [&](TraceRecord& out) {
            const std::uint64_t blockTicks = kOrigin + block * 240 * 1'000'000'000ull / kRate;
            const std::uint64_t keyTicks =
                press < presses.size() ? presses[press].key + (up ? 30'000'000ull : 0) : ~0ull;
            if (block * 240 < samples.size() && blockTicks <= keyTicks) {
                const std::size_t n = std::min<std::size_t>(240, samples.size() - block * 240);
                out = TraceRecord::makeMic(blockTicks, samples.data() + block * 240, n, kRate);
                ++block;
                return true;
            }
            if (press >= presses.size()) {
                return false;
            }
            const auto code = presses[press].code;
            out = TraceRecord::makeKey(
                keyTicks, {up ? TraceKeyKind::up : TraceKeyKind::down, code, 0, false});
            press += up;
            up = !up;
            return true;
        },
        error);
    if (!trace) {
        std::fprintf(stderr, "clavio_mic_fidelity: %s\n", error ? error->text().c_str() : "?");
        std::exit(1);
    }
    return trace;
}

} // namespace

struct Outcome {
    double spearman = 0.0;
    double delayP50 = 0.0, delayP95 = 0.0;
    std::vector<float> output; // mono, 48 kHz, from the trace's first record
};

Outcome render(const std::shared_ptr<const LoadedTrace>& trace, const std::vector<Press>& presses,
               bool sound, const AudioDecoder& decoder, const std::filesystem::path& packs) {
    SettingsValues values;
    values.soundEnabled = sound;
    values.velocitySource = VelocitySource::microphone;
    OfflineRenderConfig config;
    config.settings = std::make_shared<ToccaSettings>(values);
    config.audioDecoder = &decoder;
    config.bundledPacksFolder = packs;
    config.sampleRate = kRate;
    config.keepEvents = true;
    Outcome outcome;
    config.audioSink = [&outcome](const float* frames, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i) {
            outcome.output.push_back(0.5f * (frames[2 * i] + frames[2 * i + 1]));
        }
        return true;
    };
    const OfflineRenderResult result = OfflineRenderer(std::move(config)).render(trace);
    if (!result.ok() || result.presses.size() != presses.size() ||
        result.strikeSource.mode != StrikeSource::Mode::microphone) {
        std::fprintf(stderr, "clavio_mic_fidelity: the render failed or did not listen\n");
        std::exit(1);
    }
    std::vector<double> force, velocity, delay;
    for (std::size_t i = 0; i < result.presses.size(); ++i) {
        force.push_back(presses[i].force);
        velocity.push_back(result.presses[i].impact.velocity);
        delay.push_back(
            double(result.presses[i].classifiedAt - result.presses[i].keyEvent.timestamp) * 1e-6);
    }
    std::sort(delay.begin(), delay.end());
    outcome.spearman = spearman(force, velocity);
    outcome.delayP50 = delay[delay.size() / 2];
    outcome.delayP95 = delay[delay.size() * 95 / 100];
    return outcome;
}

// The microphone with Clavio's output added `delayMs` later, scaled so that
// a median press's sound peaks `db` over the median click.
std::vector<float> withFeedback(const Session& session, const std::vector<float>& output,
                                double delayMs, double db) {
    std::vector<double> peaks;
    for (const Press& p : session.presses) {
        const auto from = std::size_t(double(p.key - kOrigin) * 1e-9 * kRate);
        float peak = 0.0f;
        for (std::size_t i = from; i < std::min(output.size(), from + kRate / 10); ++i) {
            peak = std::max(peak, std::fabs(output[i]));
        }
        peaks.push_back(peak);
    }
    std::nth_element(peaks.begin(), peaks.begin() + long(peaks.size() / 2), peaks.end());
    const double gain =
        peaks[peaks.size() / 2] > 0.0
            ? session.clickPeak * std::pow(10.0, db / 20.0) / peaks[peaks.size() / 2]
            : 0.0;
    std::vector<float> mic = session.samples;
    const auto shift = std::size_t(delayMs * 1e-3 * kRate);
    for (std::size_t i = shift; i < mic.size() && i - shift < output.size(); ++i) {
        mic[i] += float(gain * output[i - shift]);
    }
    return mic;
}

int main(int argc, char** argv) {
    double seconds = 120;
    std::uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    setLogSink([](std::string_view) {});
    platform::SndfileDecoder decoder;
    const std::filesystem::path packs =
        argc > 0 ? std::filesystem::path(argv[0]).parent_path() / "../share/clavio/SoundPacks"
                 : std::filesystem::path();
    std::printf("| Keys/s | Presses | Clavio's sound at the microphone | Spearman force <-> "
                "velocity | Delay p50 / p95 (ms) |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const double rate : {4.0, 8.0, 12.0}) {
        const Session session = makeSession(seconds, rate, seed);
        const Outcome quiet = render(session.trace, session.presses, false, decoder, packs);
        std::printf("| %.0f | %zu | none (headphones) | %.3f | %.1f / %.1f |\n", rate,
                    session.presses.size(), quiet.spearman, quiet.delayP50, quiet.delayP95);
        // The loop closed by two passes: each render hears the previous
        // render's output of the same session.
        const Outcome first = render(session.trace, session.presses, true, decoder, packs);
        for (const double delayMs : {5.0, 40.0}) {
            for (const double db : {-6.0, 0.0, 6.0}) {
                auto mic = withFeedback(session, first.output, delayMs, db);
                const Outcome second =
                    render(buildTrace(mic, session.presses), session.presses, true, decoder, packs);
                mic = withFeedback(session, second.output, delayMs, db);
                const Outcome heard =
                    render(buildTrace(mic, session.presses), session.presses, true, decoder, packs);
                std::printf("| %.0f | %zu | %+.0f dB over the clicks, %.0f ms later | %.3f | "
                            "%.1f / %.1f |\n",
                            rate, session.presses.size(), db, delayMs, heard.spearman,
                            heard.delayP50, heard.delayP95);
            }
        }
    }
    return 0;
}
