#include "bench/fidelity_session.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

#include "engine/keyboard/key_layout.h"
#include "engine/sensing/accel_report.h"

namespace clavio::bench {

namespace {

constexpr double kTicksPerSecond = 1e9;
constexpr std::uint64_t kOriginTicks = 1'000'000'000;
// The rate the sensor's analog signal is simulated at before its filter.
constexpr double kInternalRateHz = 8000.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

double uniform(std::mt19937_64& rng, double lo, double hi) {
    return lo + (hi - lo) * std::uniform_real_distribution<double>(0.0, 1.0)(rng);
}

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

Vec3 normalized(Vec3 v) {
    const double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / n, v.y / n, v.z / n};
}

// One strike as the chassis carries it.
struct Strike {
    double onset = 0;     // seconds from the origin
    double frequency = 0; // Hz
    double tau = 0;       // envelope time constant, s
    double amplitude = 0; // g
    Vec3 direction;
};

// Second-order Butterworth low-pass (bilinear transform), direct form I.
class LowPass {
public:
    LowPass(double cutoffHz, double rateHz) {
        const double k = std::tan(std::numbers::pi * cutoffHz / rateHz);
        const double norm = 1.0 / (1.0 + std::numbers::sqrt2 * k + k * k);
        _b0 = k * k * norm;
        _b1 = 2.0 * _b0;
        _b2 = _b0;
        _a1 = 2.0 * (k * k - 1.0) * norm;
        _a2 = (1.0 - std::numbers::sqrt2 * k + k * k) * norm;
    }
    // Starts settled on `value`, as a sensor that has been running.
    void settle(double value) { _x1 = _x2 = _y1 = _y2 = value; }
    double step(double x) {
        const double y = _b0 * x + _b1 * _x1 + _b2 * _x2 - _a1 * _y1 - _a2 * _y2;
        _x2 = _x1;
        _x1 = x;
        _y2 = _y1;
        _y1 = y;
        return y;
    }

private:
    double _b0, _b1, _b2, _a1, _a2;
    double _x1 = 0, _x2 = 0, _y1 = 0, _y2 = 0;
};

// Produces the session's records in time order, one at a time, so a long
// session is never held twice.
class SessionStream {
public:
    SessionStream(const FidelitySessionConfig& config, std::vector<Strike> strikes,
                  std::vector<std::pair<std::uint64_t, TraceKey>> keys, std::mt19937_64 rng)
        : _strikes(std::move(strikes)), _keys(std::move(keys)), _rng(std::move(rng)),
          _rate(config.sensorRateHz), _seconds(config.seconds),
          _decimation(config.sensorRateHz < 1000.0
                          ? std::max(1, int(std::lround(kInternalRateHz / config.sensorRateHz)))
                          : 1),
          _noise(config.noiseG * std::sqrt(config.sensorRateHz / 1000.0)),
          // A sensor's digital filter passes up to about 0.4 of its rate.
          _filters{LowPass(0.4 * _rate, _rate * _decimation),
                   LowPass(0.4 * _rate, _rate * _decimation),
                   LowPass(0.4 * _rate, _rate * _decimation)} {
        _tiltPhase = {uniform(_rng, 0, kTwoPi), uniform(_rng, 0, kTwoPi), uniform(_rng, 0, kTwoPi),
                      uniform(_rng, 0, kTwoPi)};
        const Vec3 g = gravity(0.0);
        _filters[0].settle(g.x);
        _filters[1].settle(g.y);
        _filters[2].settle(g.z);
    }

    bool next(TraceRecord& out) {
        const std::uint64_t reportTicks =
            kOriginTicks + std::uint64_t(std::llround(double(_report) * kTicksPerSecond / _rate));
        const bool reportsLeft = double(_report) / _rate <= _seconds;
        if (_key < _keys.size() && (!reportsLeft || _keys[_key].first <= reportTicks)) {
            out.t = _keys[_key].first;
            out.type = TraceRecord::Type::key;
            out.key = _keys[_key].second;
            out.accel.clear();
            ++_key;
            return true;
        }
        if (!reportsLeft) {
            return false;
        }
        Vec3 a{};
        for (int i = 0; i < _decimation; ++i) {
            const Vec3 s = analog(double(_internal++) / (_rate * _decimation));
            if (_decimation == 1) {
                a = s;
            } else {
                a = {_filters[0].step(s.x), _filters[1].step(s.y), _filters[2].step(s.z)};
            }
        }
        std::normal_distribution<double> noise(0.0, _noise);
        std::uint8_t report[kAccelReportLength];
        encodeAccelReport(a.x + noise(_rng), a.y + noise(_rng), a.z + noise(_rng), report);
        out.t = reportTicks;
        out.type = TraceRecord::Type::accel;
        out.key = {};
        out.accel.assign(report, report + kAccelReportLength);
        ++_report;
        return true;
    }

private:
    // About 1 g whose direction drifts by a few degrees over minutes, seen
    // through a fixed offset of the sensor (so its magnitude drifts too).
    Vec3 gravity(double t) const {
        const double ax = 0.10 * std::sin(kTwoPi * t / 173.0 + _tiltPhase[0]) +
                          0.04 * std::sin(kTwoPi * t / 41.0 + _tiltPhase[1]);
        const double ay = 0.08 * std::sin(kTwoPi * t / 229.0 + _tiltPhase[2]) +
                          0.03 * std::sin(kTwoPi * t / 57.0 + _tiltPhase[3]);
        const Vec3 d = normalized({ax, ay, 1.0});
        return {d.x + 0.015, d.y - 0.010, d.z + 0.020};
    }

    Vec3 analog(double t) {
        Vec3 a = gravity(t);
        while (_first < _strikes.size() && t > _strikes[_first].onset + 12.0 * _strikes[_first].tau) {
            ++_first;
        }
        for (std::size_t i = _first; i < _strikes.size() && _strikes[i].onset <= t; ++i) {
            const Strike& s = _strikes[i];
            const double dt = t - s.onset;
            if (dt > 12.0 * s.tau) {
                continue;
            }
            const double v =
                s.amplitude * std::sin(kTwoPi * s.frequency * dt) * std::exp(-dt / s.tau);
            a.x += v * s.direction.x;
            a.y += v * s.direction.y;
            a.z += v * s.direction.z;
        }
        return a;
    }

    std::vector<Strike> _strikes;
    std::vector<std::pair<std::uint64_t, TraceKey>> _keys;
    std::mt19937_64 _rng;
    double _rate;
    double _seconds;
    int _decimation;
    double _noise;
    std::array<LowPass, 3> _filters;
    std::array<double, 4> _tiltPhase{};
    std::size_t _first = 0;
    std::size_t _key = 0;
    std::uint64_t _report = 0;
    std::uint64_t _internal = 0;
};

} // namespace

std::vector<std::uint16_t> fidelityKeyCodes() {
    std::vector<std::uint16_t> codes;
    for (std::uint16_t code = 0; code < 128; ++code) {
        const std::string_view name = keyName(code);
        if (name.size() == 1 || name == "Space") {
            codes.push_back(code);
        }
    }
    return codes;
}

std::map<std::uint16_t, double> fidelityCouplings(std::uint64_t seed) {
    std::mt19937_64 rng(seed ^ 0x6b65796d6170ull);
    const double sensor = uniform(rng, -0.3, 0.3);
    const std::vector<std::uint16_t> codes = fidelityKeyCodes();
    double farthest = 1e-9;
    for (const std::uint16_t code : codes) {
        farthest = std::max(farthest, std::fabs(double(keyStereoPosition(code)) - sensor));
    }
    std::map<std::uint16_t, double> couplings;
    for (const std::uint16_t code : codes) {
        const double distance = std::fabs(double(keyStereoPosition(code)) - sensor) / farthest;
        couplings[code] =
            std::clamp(1.4 - 0.7 * distance + uniform(rng, -0.12, 0.12), 0.7, 1.4);
    }
    return couplings;
}

FidelitySession makeFidelitySession(const FidelitySessionConfig& config) {
    if (!(config.sensorRateHz > 0) || !(config.seconds > 0) || !(config.keysPerSecond > 0) ||
        !(config.forceMin > 0) || !(config.forceMax >= config.forceMin)) {
        throw std::invalid_argument("fidelity session: rate, duration, typing speed and forces "
                                    "must be positive");
    }
    FidelitySession session;
    session.couplings = fidelityCouplings(config.seed);
    const std::vector<std::uint16_t> codes = fidelityKeyCodes();
    std::mt19937_64 rng(config.seed);

    // Each key's vibration leaves the deck mostly upright, tilted its own way.
    std::map<std::uint16_t, Vec3> directions;
    std::normal_distribution<double> lean(0.0, 0.25);
    for (const std::uint16_t code : codes) {
        const double x = lean(rng);
        directions[code] = normalized({x, lean(rng), 1.0});
    }

    std::vector<Strike> strikes;
    std::vector<std::pair<std::uint64_t, TraceKey>> keys;
    const double mean = 1.0 / config.keysPerSecond;
    const double logMin = std::log(config.forceMin);
    const double logMax = std::log(config.forceMax);
    std::uint16_t previous = 0xffff;
    for (double t = 0.5; t < config.seconds - 0.5; t += mean * uniform(rng, 0.4, 1.6)) {
        std::uint16_t code = previous;
        while (code == previous) {
            code = codes[std::size_t(uniform(rng, 0.0, double(codes.size()))) % codes.size()];
        }
        previous = code;
        const double force = std::exp(uniform(rng, logMin, logMax));
        const double coupling = session.couplings[code];
        Strike s;
        s.onset = t + uniform(rng, 1.5e-3, 6e-3);
        s.frequency = uniform(rng, 90.0, 160.0);
        s.tau = uniform(rng, 6e-3, 11e-3); // the envelope's time constant
        s.amplitude = config.gPerForce * force * coupling;
        s.direction = directions[code];
        strikes.push_back(s);
        const auto down = kOriginTicks + std::uint64_t(std::llround(t * kTicksPerSecond));
        const auto up = down + std::uint64_t(std::llround(uniform(rng, 0.060, 0.120) * 1e9));
        keys.push_back({down, TraceKey{TraceKeyKind::down, code, 0, false}});
        keys.push_back({up, TraceKey{TraceKeyKind::up, code, 0, false}});
        session.presses.push_back({code, down, force, coupling});
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::sort(strikes.begin(), strikes.end(),
              [](const Strike& a, const Strike& b) { return a.onset < b.onset; });

    SessionStream stream(config, std::move(strikes), std::move(keys), std::mt19937_64(rng()));
    std::optional<TraceError> error;
    session.trace = LoadedTrace::build(
        "synthetic session", [&stream](TraceRecord& out) { return stream.next(out); }, error);
    if (!session.trace) {
        throw std::runtime_error(error ? error->text() : "the synthetic session was refused");
    }
    return session;
}

} // namespace clavio::bench
