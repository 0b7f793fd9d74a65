#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "engine/sensing/accel_report.h"
#include "engine/core/core_types.h"
#include "engine/replay/session_trace.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::readFile;
using clavio::testing::TempDir;

namespace {

const std::filesystem::path kDemoDir = std::filesystem::path(CLAVIO_RESOURCE_BUILD_DIR) / "demo";

struct Truth {
    std::uint64_t t = 0;
    std::string key;
    std::uint16_t code = 0;
    double force = 0;
    double amplitude = 0;
};

struct Demo {
    std::vector<TraceRecord> records;
    std::vector<TraceRecord> keys;
    std::vector<std::pair<std::uint64_t, float>> magnitudes; // (t, |a|) of every report
    std::vector<Truth> truth;
};

const Demo& demo() {
    static const Demo d = [] {
        Demo d;
        const auto error = readTrace(kDemoDir / "demo.trace.jsonl", d.records);
        EXPECT_FALSE(error) << error->text();
        for (const auto& r : d.records) {
            AccelAxes a;
            if (r.type == TraceRecord::Type::key) {
                d.keys.push_back(r);
            } else if (decodeAccelReport(r.accel.data(), r.accel.size(), &a)) {
                d.magnitudes.emplace_back(r.t, std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z));
            }
        }
        std::istringstream in(readFile(kDemoDir / "demo.truth.jsonl"));
        for (std::string line; std::getline(in, line);) {
            const auto j = nlohmann::json::parse(line);
            d.truth.push_back({j.at("t").get<std::uint64_t>(), j.at("key").get<std::string>(),
                               j.at("code").get<std::uint16_t>(), j.at("force").get<double>(),
                               j.at("amplitude").get<double>()});
        }
        return d;
    }();
    return d;
}

// The largest deviation of the magnitude from its mean over the 50 ms before
// the window, within [t - 10 ms, t + 20 ms]: what the classifier looks at.
double measuredPeak(std::uint64_t t) {
    const auto& m = demo().magnitudes;
    auto at = [&](std::uint64_t ticks) {
        return std::lower_bound(m.begin(), m.end(), std::make_pair(ticks, -1.0f));
    };
    double baseline = 0;
    const auto from = at(t - 60'000'000), to = at(t - 10'000'000);
    for (auto it = from; it != to; ++it) {
        baseline += it->second;
    }
    baseline /= double(to - from);
    double peak = 0;
    for (auto it = to; it != m.end() && it->first <= t + 20'000'000; ++it) {
        peak = std::max(peak, std::abs(double(it->second) - baseline));
    }
    return peak;
}

std::vector<double> ranks(const std::vector<double>& v) {
    std::vector<std::size_t> order(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return v[a] < v[b]; });
    std::vector<double> r(v.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        r[order[i]] = double(i);
    }
    return r;
}

} // namespace

TEST(DemoSession, IsAWellFormedTwentySecondSessionWithA1kHzSensor) {
    const Demo& d = demo();
    ASSERT_FALSE(d.records.empty());
    const double seconds = double(d.records.back().t - d.records.front().t) * 1e-9;
    EXPECT_GT(seconds, 18.0);
    EXPECT_LT(seconds, 22.0);
    const auto reports = std::count_if(d.records.begin(), d.records.end(), [](const auto& r) {
        return r.type == TraceRecord::Type::accel;
    });
    EXPECT_EQ(std::size_t(reports), d.magnitudes.size()) << "every report is 22 bytes";
    EXPECT_NEAR(double(reports) / seconds, 1000.0, 10.0);
    for (std::size_t i = 1; i < d.magnitudes.size(); ++i) {
        const auto gap = d.magnitudes[i].first - d.magnitudes[i - 1].first;
        ASSERT_GT(gap, 800'000u);
        ASSERT_LT(gap, 1'200'000u);
    }
    // Resting near 1 g.
    EXPECT_NEAR(d.magnitudes.front().second, 1.0, 0.01);
    EXPECT_NEAR(d.magnitudes.back().second, 1.0, 0.01);
}

TEST(DemoSession, TypesCapitalsSpaceEnterBackspaceAndOneAutorepeatRun) {
    const Demo& d = demo();
    std::map<std::uint16_t, int> downs;
    int shiftPresses = 0, shiftReleases = 0, shiftedLetters = 0;
    std::map<std::uint16_t, bool> isDown;
    std::uint32_t heldFlags = 0;
    int repeats = 0;
    std::uint16_t repeatCode = 0xFFFF;
    std::uint64_t repeatDown = 0, firstRepeat = 0, lastRepeat = 0;
    for (const auto& r : d.keys) {
        const TraceKey& k = r.key;
        switch (k.kind) {
        case TraceKeyKind::flags:
            ASSERT_EQ(k.code, 56);
            (k.flags == kFlagShift ? shiftPresses : shiftReleases) += 1;
            heldFlags = k.flags;
            break;
        case TraceKeyKind::down:
            EXPECT_EQ(k.flags, heldFlags) << "a key carries the modifiers held";
            if (k.repeat) {
                ASSERT_TRUE(isDown[k.code]) << "a repeat of a key that is up";
                ASSERT_TRUE(repeatCode == 0xFFFF || repeatCode == k.code);
                repeatCode = k.code;
                firstRepeat = firstRepeat ? firstRepeat : r.t;
                lastRepeat = r.t;
                ++repeats;
                break;
            }
            ASSERT_FALSE(isDown[k.code]) << "key " << k.code << " pressed while down";
            isDown[k.code] = true;
            ++downs[k.code];
            shiftedLetters += k.flags == kFlagShift;
            if (k.code == 31) {
                repeatDown = repeatCode == 0xFFFF ? r.t : repeatDown;
            }
            break;
        case TraceKeyKind::up:
            ASSERT_TRUE(isDown[k.code]) << "key " << k.code << " released while up";
            EXPECT_EQ(k.flags, heldFlags);
            isDown[k.code] = false;
            break;
        }
    }
    for (const auto& [code, down] : isDown) {
        EXPECT_FALSE(down) << "key " << code << " never released";
    }
    EXPECT_GE(shiftPresses, 2);
    EXPECT_EQ(shiftPresses, shiftReleases);
    EXPECT_GE(shiftedLetters, shiftPresses);
    EXPECT_GE(downs[49], 5); // space
    EXPECT_GE(downs[36], 2); // enter
    EXPECT_GE(downs[51], 2); // backspace
    // One held key: repeats at about 30 a second after half a second.
    EXPECT_EQ(repeatCode, 31);
    EXPECT_GE(repeats, 15);
    EXPECT_NEAR(double(firstRepeat - repeatDown) * 1e-9, 0.5, 0.01);
    EXPECT_NEAR(double(repeats - 1) / (double(lastRepeat - firstRepeat) * 1e-9), 30.0, 1.0);

    // Between 4 and 12 keys a second within words, with bursts near the top.
    std::vector<std::uint64_t> times;
    for (const auto& r : d.keys) {
        if (r.key.kind == TraceKeyKind::down && !r.key.repeat) {
            times.push_back(r.t);
        }
    }
    double fastest = 0;
    for (std::size_t i = 5; i < times.size(); ++i) {
        fastest = std::max(fastest, 5.0 / (double(times[i] - times[i - 5]) * 1e-9));
    }
    EXPECT_GT(fastest, 9.0);
    EXPECT_LT(fastest, 14.0);
    const double overall = double(times.size() - 1) / (double(times.back() - times[0]) * 1e-9);
    EXPECT_GT(overall, 4.0);
}

TEST(DemoSession, TruthListsEveryStrikeWithAForceThatSizesItsBump) {
    const Demo& d = demo();
    std::vector<Truth> expected;
    for (const auto& r : d.keys) {
        const bool press = r.key.kind == TraceKeyKind::down && !r.key.repeat;
        const bool shiftPress = r.key.kind == TraceKeyKind::flags && r.key.flags == kFlagShift;
        if (press || shiftPress) {
            expected.push_back({r.t, press ? "down" : "flags", r.key.code, 0, 0});
        }
    }
    ASSERT_EQ(d.truth.size(), expected.size());
    int feather = 0, slammed = 0;
    std::vector<double> forces, peaks;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Truth& t = d.truth[i];
        ASSERT_EQ(t.t, expected[i].t);
        ASSERT_EQ(t.key, expected[i].key);
        ASSERT_EQ(t.code, expected[i].code);
        ASSERT_GE(t.force, 0.0);
        ASSERT_LE(t.force, 1.0);
        EXPECT_NEAR(t.amplitude, 0.001 * std::pow(200.0, t.force), 1e-9);
        feather += t.amplitude < 0.003;
        slammed += t.amplitude > 0.14;
        const double peak = measuredPeak(t.t);
        EXPECT_NEAR(peak, t.amplitude, 0.12 * t.amplitude + 0.0015)
            << "strike at " << t.t << " with force " << t.force;
        forces.push_back(t.force);
        peaks.push_back(peak);
    }
    EXPECT_GE(feather, 3);
    EXPECT_GE(slammed, 3);
    // Spearman rank correlation of force and measured bump.
    const auto rf = ranks(forces), rp = ranks(peaks);
    double sum = 0;
    for (std::size_t i = 0; i < rf.size(); ++i) {
        sum += (rf[i] - rp[i]) * (rf[i] - rp[i]);
    }
    const double n = double(rf.size());
    EXPECT_GT(1.0 - 6.0 * sum / (n * (n * n - 1.0)), 0.95);
}

TEST(DemoSession, TheSameSeedGivesTheSameBytes) {
    TempDir dir;
    const std::string tool = std::string(CLAVIO_BUILD_DIR) + "/bin/clavio-demo-session";
    ASSERT_EQ(std::system((tool + " --out-dir " + (dir / "a").string()).c_str()), 0);
    ASSERT_EQ(std::system((tool + " --out-dir " + (dir / "b").string() + " --seed 7").c_str()), 0);
    EXPECT_TRUE(readFile(dir / "a" / "demo.trace.jsonl") ==
                readFile(kDemoDir / "demo.trace.jsonl"));
    EXPECT_TRUE(readFile(dir / "a" / "demo.truth.jsonl") ==
                readFile(kDemoDir / "demo.truth.jsonl"));
    EXPECT_FALSE(readFile(dir / "b" / "demo.trace.jsonl") ==
                 readFile(kDemoDir / "demo.trace.jsonl"));
}
