// Strike fidelity on synthetic sessions: how well each press's velocity and
// tier follow the force that struck it, and how long the classification
// waited, for the classification's variants at several sensor rates and
// typing speeds. Each session is rendered offline through the real
// coordinator (the path of `clavio-cli render --events`), with sound off so
// only the classification is paid for.
//
//   clavio_fidelity [--seconds S] [--seed N]
//
// Prints a markdown table on stdout. Measures over the second half of each
// session (minutes 5 to 10 of the default 10 minutes), where a learning
// variant has had the first half to learn, and over the whole session.
// Exits 1 when a render did not measure anything (presses lost, all
// velocities equal).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/fidelity_session.h"
#include "bench/rank_correlation.h"
#include "engine/core/log.h"
#include "engine/render/offline_renderer.h"
#include "engine/sensing/impact_classifier.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/desktop/resource_dir.h"

using namespace clavio;
using namespace clavio::bench;

namespace {

struct Measured {
    double force = 0;
    double coupling = 0; // the key's true coupling
    float velocity = 0;
    int tier = 0;
    double delayMs = 0;
    bool late = false; // in the measured window
};

struct Metrics {
    double spearmanWindow = 0;
    double spearmanWhole = 0;
    double inverted = 0; // share of pairs
    double delayP50 = 0;
    double delayP95 = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, std::size_t(std::ceil(p * double(v.size()))) - 1);
    return v[i];
}

Metrics measure(const std::vector<Measured>& presses) {
    Metrics m;
    std::vector<double> fw, vw, fa, va, delays;
    std::vector<const Measured*> window;
    for (const Measured& p : presses) {
        fa.push_back(p.force);
        va.push_back(p.velocity);
        if (p.late) {
            fw.push_back(p.force);
            vw.push_back(p.velocity);
            delays.push_back(p.delayMs);
            window.push_back(&p);
        }
    }
    m.spearmanWindow = spearman(fw, vw);
    m.spearmanWhole = spearman(fa, va);
    std::uint64_t pairs = 0, inverted = 0;
    for (const Measured* a : window) {
        for (const Measured* b : window) {
            if (a->force > 1.5 * b->force) {
                ++pairs;
                inverted += a->tier < b->tier;
            }
        }
    }
    m.inverted = pairs ? double(inverted) / double(pairs) : 0.0;
    m.delayP50 = percentile(delays, 0.50);
    m.delayP95 = percentile(delays, 0.95);
    return m;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "[Clavio] fidelity: %s\n", what.c_str());
    std::exit(1);
}

struct Variant {
    const char* name;
    bool early;
    bool perKey;
    bool lowRate = false;
};

constexpr Variant kVariants[] = {
    {"defaults", false, false},
    {"earlyDecision", true, false},
    {"perKeyNormalization", false, true},
    {"both", true, true},
    {"lowRateSensing", false, false, true},
    {"lowRateSensing + earlyDecision", true, false, true},
};

struct Context {
    platform::SndfileDecoder decoder;
    std::filesystem::path packs;
    double seconds = 600;
};

std::vector<Measured> render(Context& context, const FidelitySession& session,
                             const Variant& variant, std::vector<ImpactResult>* impacts) {
    SettingsValues values;
    values.soundEnabled = false;
    values.velocitySource = VelocitySource::accelerometer;
    values.earlyDecision = variant.early;
    values.perKeyNormalization = variant.perKey;
    values.lowRateSensing = variant.lowRate;
    OfflineRenderConfig config;
    config.settings = std::make_shared<ToccaSettings>(values);
    config.audioDecoder = &context.decoder;
    config.bundledPacksFolder = context.packs;
    const OfflineRenderResult result = OfflineRenderer(std::move(config)).render(session.trace);
    if (!result.ok()) {
        fail(std::string(variant.name) + ": the render failed: " +
             (result.traceError ? result.traceError->text() : result.sinkError.value_or("?")));
    }
    if (result.presses.size() != session.presses.size()) {
        fail(std::string(variant.name) + ": " + std::to_string(result.presses.size()) +
             " presses rendered of " + std::to_string(session.presses.size()) + " generated");
    }
    std::map<std::uint64_t, const FidelityPress*> truth;
    for (const FidelityPress& p : session.presses) {
        truth[p.keyTicks] = &p;
    }
    const std::uint64_t origin = result.originTicks;
    const std::uint64_t windowStart = origin + std::uint64_t(context.seconds * 0.5e9);
    std::vector<Measured> out;
    float firstVelocity = result.presses.front().impact.velocity;
    bool varied = false;
    for (const auto& press : result.presses) {
        const auto it = truth.find(press.keyEvent.timestamp);
        if (it == truth.end() || it->second->code != press.keyEvent.keyCode) {
            fail(std::string(variant.name) + ": a rendered press matches no generated one");
        }
        varied = varied || press.impact.velocity != firstVelocity;
        Measured m;
        m.force = it->second->force;
        m.coupling = it->second->coupling;
        m.velocity = press.impact.velocity;
        m.tier = rawValue(press.impact.tier);
        m.delayMs = double(press.classifiedAt - press.keyEvent.timestamp) * 1e-6;
        m.late = press.keyEvent.timestamp >= windowStart;
        out.push_back(m);
        if (impacts) {
            impacts->push_back(press.impact);
        }
    }
    if (!varied) {
        fail(std::string(variant.name) + ": every press has the same velocity");
    }
    return out;
}

void row(double rate, double kps, const char* name, const Metrics& m, bool delays = true) {
    char p50[32] = "-", p95[32] = "-";
    if (delays) {
        std::snprintf(p50, sizeof p50, "%.1f", m.delayP50);
        std::snprintf(p95, sizeof p95, "%.1f", m.delayP95);
    }
    std::printf("| %.0f Hz | %.0f | %s | %.4f | %.4f | %.2f %% | %s | %s |\n", rate, kps, name,
                m.spearmanWindow, m.spearmanWhole, 100.0 * m.inverted, p50, p95);
}

} // namespace

int main(int argc, char** argv) {
    Context context;
    std::uint64_t seed = 15;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            context.seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: clavio_fidelity [--seconds S] [--seed N]\n");
            return 2;
        }
    }
    if (!(context.seconds >= 10 && context.seconds <= 3600)) {
        fail("--seconds must lie between 10 and 3600");
    }
    context.packs = platform::resourceDir() / "SoundPacks";
    setLogSink([](std::string_view) {});
    const auto started = std::chrono::steady_clock::now();

    std::printf("| Sensor | Keys/s | Variant | Spearman, 2nd half | Spearman, whole | "
                "Inverted tiers (force > 1.5x) | Delay p50 ms | Delay p95 ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const std::pair<double, double> sessions[] = {{1000, 4}, {1000, 8}, {1000, 12},
                                                  {400, 8},  {200, 8},  {100, 8}};
    std::size_t renders = 0;
    for (const auto& [rate, kps] : sessions) {
        FidelitySessionConfig config;
        config.seed = seed;
        config.seconds = context.seconds;
        config.sensorRateHz = rate;
        config.keysPerSecond = kps;
        const FidelitySession session = makeFidelitySession(config);
        std::vector<Measured> defaults;
        std::vector<ImpactResult> impacts;
        for (const Variant& variant : kVariants) {
            auto measured = render(context, session, variant, defaults.empty() ? &impacts : nullptr);
            ++renders;
            row(rate, kps, variant.name, measure(measured));
            if (defaults.empty()) {
                defaults = std::move(measured);
            }
        }
        // The limit with the true couplings known: the defaults' scores
        // divided by each key's true coupling, through the same mapping.
        const ImpactConfig mapping;
        std::vector<Measured> limit = defaults;
        for (std::size_t i = 0; i < limit.size(); ++i) {
            const ImpactResult r = rescoredImpact(
                mapping, impacts[i], float(impacts[i].score / limit[i].coupling));
            limit[i].velocity = r.velocity;
            limit[i].tier = rawValue(r.tier);
        }
        row(rate, kps, "true couplings (limit)", measure(limit), false);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\n%zu renders of %.0f s sessions (seed %llu) in %.1f s.\n", renders,
                context.seconds, static_cast<unsigned long long>(seed), elapsed);
    return 0;
}
