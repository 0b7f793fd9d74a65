// clavio-demo-session: synthesises the bundled demo session at build time.
//
//   clavio-demo-session --out-dir DIR [--seed N]
//
// writes DIR/demo.trace.jsonl (a session trace, format v1) and
// DIR/demo.truth.jsonl, the ground truth: one line per press that struck the
// keyboard (key downs that are not autorepeats, and shift presses), in time
// order:
//
//   {"t":1802000000,"key":"down","code":17,"force":0.5123,"amplitude":0.0150849}
//
// with the key event's time and code, the strike force (0..1) and the bump's
// size in g, amplitude = 0.001 × 200^force (see strikeAmplitude).
//
// The accelerometer reports at 1 kHz from t = 1 s for 20 s: resting near 1 g
// (a slight tilt), with white noise of 0.5 mg on each axis and a slow drift
// of a few mg; every strike adds a damped 80 Hz oscillation along the
// strike's direction, starting 0.5 to 3.5 ms after its key event, whose
// largest excursion is the amplitude and which has died down to a few
// percent 15 ms later. Everything follows from the seed: the same seed gives
// the same bytes.
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <numbers>
#include <sstream>
#include <string>

#include "engine/core/atomic_file.h"
#include "engine/replay/session_trace.h"
#include "engine/sensing/accel_report.h"
#include "tools/demo_session/typing_script.h"

namespace {

using namespace clavio;
using namespace clavio::demo;

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kStartSeconds = 1.0;
constexpr double kDurationSeconds = 20.0;
constexpr double kSampleRate = 1000.0;
constexpr double kNoiseG = 0.0005;
constexpr double kBumpHz = 80.0;
constexpr double kBumpDecaySeconds = 0.004;
constexpr double kBumpSpanSeconds = 0.04; // beyond this a bump is below the noise
constexpr std::uint64_t kDefaultSeed = 0x0C1A5710;

// The bump's shape, scaled so that its largest excursion is 1: a damped
// sine, zero at the onset, peaking about 2.2 ms later.
double bumpShape(double since) {
    if (since < 0.0 || since > kBumpSpanSeconds) {
        return 0.0;
    }
    static const double peak = [] {
        const double w = kTwoPi * kBumpHz;
        const double tPeak = std::atan(w * kBumpDecaySeconds) / w;
        return std::exp(-tPeak / kBumpDecaySeconds) * std::sin(w * tPeak);
    }();
    return std::exp(-since / kBumpDecaySeconds) * std::sin(kTwoPi * kBumpHz * since) / peak;
}

std::string truthLine(const Strike& s) {
    std::ostringstream line;
    line.precision(10);
    line << "{\"t\":" << s.keyTime << ",\"key\":\"" << name(s.kind) << "\",\"code\":" << s.code
         << ",\"force\":" << s.force << ",\"amplitude\":" << s.amplitude << "}\n";
    return line.str();
}

int run(const std::filesystem::path& outDir, std::uint64_t seed) {
    Random random(seed);
    const TypingSession typing = typeDemoText(random, kStartSeconds + 0.8);
    const double end = kStartSeconds + kDurationSeconds;
    if (typing.keys.back().t > std::uint64_t((end - 0.2) * 1e9)) {
        std::cerr << "clavio-demo-session: the typing runs past the session's end ("
                  << typing.keys.back().t * 1e-9 << " s)\n";
        return 1;
    }

    TraceFileWriter file(outDir / "demo.trace.jsonl");
    if (file.openError()) {
        std::cerr << "clavio-demo-session: " << *file.openError() << "\n";
        return 1;
    }
    TraceWriter& writer = file.writer();
    const double restX = 0.012, restY = -0.021, restZ = 0.9996;
    const double phaseX = random.uniform(0, 6.28), phaseY = random.uniform(0, 6.28);
    const double phaseZ = random.uniform(0, 6.28);
    std::size_t nextKey = 0;
    std::size_t firstStrike = 0; // first strike that may still move the sensor
    const auto samples = std::size_t(kDurationSeconds * kSampleRate) + 1;
    for (std::size_t i = 0; i < samples; ++i) {
        // A real sensor's reports arrive with a little jitter.
        const double t = kStartSeconds + double(i) / kSampleRate + random.uniform(-3e-5, 3e-5);
        const auto ticks = std::uint64_t(std::llround(t * 1e9));
        while (nextKey < typing.keys.size() && typing.keys[nextKey].t <= ticks) {
            writer.writeKey(typing.keys[nextKey].t, typing.keys[nextKey].key);
            ++nextKey;
        }
        double a[3] = {
            restX + 0.0015 * std::sin(kTwoPi * t / 7.3 + phaseX) + random.normal(0, kNoiseG),
            restY + 0.0010 * std::sin(kTwoPi * t / 11.1 + phaseY) + random.normal(0, kNoiseG),
            restZ + 0.0020 * std::sin(kTwoPi * t / 9.7 + phaseZ) +
                0.0006 * std::sin(kTwoPi * t / 2.9) + random.normal(0, kNoiseG),
        };
        while (firstStrike < typing.strikes.size() &&
               typing.strikes[firstStrike].onsetSeconds + kBumpSpanSeconds < t) {
            ++firstStrike;
        }
        for (std::size_t s = firstStrike;
             s < typing.strikes.size() && typing.strikes[s].onsetSeconds <= t; ++s) {
            const Strike& strike = typing.strikes[s];
            const double v = strike.amplitude * bumpShape(t - strike.onsetSeconds);
            for (int axis = 0; axis < 3; ++axis) {
                a[axis] += v * strike.direction[axis];
            }
        }
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(a[0], a[1], a[2], report);
        writer.writeAccel(ticks, report, sizeof report);
    }
    for (; nextKey < typing.keys.size(); ++nextKey) {
        writer.writeKey(typing.keys[nextKey].t, typing.keys[nextKey].key);
    }
    if (writer.recordsWritten() != samples + typing.keys.size()) {
        std::cerr << "clavio-demo-session: records out of time order\n";
        return 1;
    }

    std::string truth;
    for (const Strike& strike : typing.strikes) {
        truth += truthLine(strike);
    }
    if (auto error = file.finish()) {
        std::cerr << "clavio-demo-session: " << *error << "\n";
        return 1;
    }
    if (auto error = writeFileAtomically(outDir / "demo.truth.jsonl", truth)) {
        std::cerr << "clavio-demo-session: " << *error << "\n";
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path outDir;
    std::uint64_t seed = kDefaultSeed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out-dir" && i + 1 < argc) {
            outDir = argv[++i];
        } else if (arg == "--seed" && i + 1 < argc) {
            char* end = nullptr;
            seed = std::strtoull(argv[++i], &end, 0);
            if (!end || *end != '\0') {
                std::cerr << "clavio-demo-session: --seed needs a number\n";
                return 2;
            }
        } else {
            std::cerr << "usage: clavio-demo-session --out-dir DIR [--seed N]\n";
            return 2;
        }
    }
    if (outDir.empty()) {
        std::cerr << "usage: clavio-demo-session --out-dir DIR [--seed N]\n";
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    return run(outDir, seed);
}
