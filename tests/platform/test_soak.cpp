// Long runs of the real coordinator on virtual time with the built-in packs:
// synthesised typing at up to 15 keys a second over a 1 kHz accelerometer,
// with pack switches and reloads, sound toggles, calibrations, stop/start
// cycles and settings saves every few seconds, the audio pulled throughout.
//
// CLAVIO_SOAK_SECONDS sets the virtual duration (default 60; `make soak`
// runs an hour under AddressSanitizer, whose leak check runs at exit).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "engine/audio/audio_engine.h"
#include "engine/sensing/calibration.h"
#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr float kRest = 1.0f;

long soakSeconds() {
    if (const char* text = std::getenv("CLAVIO_SOAK_SECONDS")) {
        const long seconds = std::strtol(text, nullptr, 10);
        if (seconds > 0) {
            return seconds;
        }
    }
    return 60;
}

// FNV-1a over everything the run produced, in the order it was produced.
class RunHash {
public:
    template <class T> void add(const T& value) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        for (unsigned char b : bytes) {
            _h = (_h ^ b) * 1099511628211ull;
        }
    }
    std::uint64_t value() const { return _h; }

private:
    std::uint64_t _h = 1469598103934665603ull;
};

struct SoakResult {
    std::uint64_t audioHash = 0, reportHash = 0;
    std::uint64_t presses = 0, sounded = 0, releases = 0, keyDowns = 0, framesPulled = 0;
    std::size_t busyVoicesAtEnd = 0;
    std::map<std::string, int> actions;
    double peak = 0.0;
    bool savedSettingsReadBack = false;
};

// The key codes typed: letters, digits, space, return, delete, arrows, F-keys.
constexpr std::uint16_t kCodes[] = {0,  1,  2,  3,  4,  5,  6,   7,   8,   9,   11,  12, 13, 14,
                                    15, 16, 17, 31, 32, 34, 35,  37,  38,  40,  45,  46, 18, 19,
                                    20, 49, 49, 49, 36, 51, 123, 124, 125, 126, 122, 120};

SoakResult soak(std::uint64_t seed, long seconds) {
    std::mt19937_64 random(seed);
    auto below = [&](std::uint64_t n) { return random() % n; };

    platform::SndfileDecoder decoder;
    RigOptions options;
    options.decoder = &decoder;
    options.bundledPacks = std::filesystem::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks";
    options.seed = seed;
    CoordinatorRig rig(options);

    SoakResult result;
    RunHash audio, reports;
    rig.audioSink = [&](const float* block, std::size_t frames) {
        for (std::size_t i = 0; i < frames * 2; ++i) {
            audio.add(block[i]);
            result.peak = std::max(result.peak, double(std::fabs(block[i])));
        }
    };

    SettingsValues values;
    values.selectedPackName = "Biscuit";
    auto& coordinator = rig.launch(values);
    EXPECT_FALSE(coordinator.loadedSampleMap().empty()) << "the built-in pack did not load";
    coordinator.setPressReporter([&](const ToccaCoordinator::PressReport& press) {
        ++result.presses;
        result.sounded += press.sounded;
        reports.add(press.keyEvent.keyCode);
        reports.add(press.keyEvent.timestamp);
        reports.add(press.impact.tier);
        reports.add(press.impact.velocity);
        reports.add(press.classifiedAt);
        for (const auto& layer : press.layers) {
            reports.add(layer.sampleIndex);
            reports.add(layer.gain);
            reports.add(layer.pitchShift);
        }
    });
    coordinator.setReleaseReporter([&](const ToccaCoordinator::ReleaseReport& release) {
        ++result.releases;
        reports.add(release.keyEvent.keyCode);
        reports.add(release.sampleIndex);
        reports.add(release.gain);
        reports.add(release.pitchShift);
    });
    rig.run(500ms, kRest);

    const std::uint64_t end = rig.now() + std::uint64_t(seconds) * 1000 * kTicksPerMilli;
    std::uint64_t nextKey = rig.now();
    std::uint64_t nextAction = rig.now() + (2000 + below(3000)) * kTicksPerMilli;
    std::map<std::uint16_t, std::uint64_t> held; // code -> release time
    bool biscuit = true;
    bool stopped = false;
    std::vector<int> round;
    const std::pair<const char*, std::function<void()>> actions[] = {
        {"stop",
         [&] {
             // The tap and the sensor go quiet with it: keys held now come
             // up first, and nothing arrives until start().
             for (const auto& [code, at] : held) {
                 rig.keyUp(code);
             }
             held.clear();
             coordinator.stop();
             stopped = true;
         }},
        {"switch",
         [&] {
             biscuit = !biscuit;
             coordinator.switchPack(biscuit ? "Biscuit" : "Bluebell");
         }},
        {"reload", [&] { coordinator.reloadPack(); }},
        {"sound toggle", [&] { rig.settings().setSoundEnabled(!rig.settings().soundEnabled()); }},
        {"calibrate",
         [&] {
             coordinator.applyCalibration(coordinator.calibration().computeThresholds().value_or(
                 CalibrationResult{10, 0.01f, 0.3f, 0.1f, 0.3f, 0.6f, 0.35f}));
         }},
        {"save",
         [&] {
             rig.settings().setMasterVolume(0.5f + float(below(50)) / 100.0f);
             EXPECT_TRUE(rig.settings().save());
         }},
        {"pitch variation",
         [&] { rig.settings().setPitchVariation(float(below(20)) / 100.0f); }},
    };

    while (rig.now() < end) {
        const std::uint64_t now = rig.now();
        for (auto it = held.begin(); it != held.end();) {
            if (it->second <= now) {
                rig.keyUp(it->first);
                it = held.erase(it);
            } else {
                ++it;
            }
        }
        if (!stopped && now >= nextKey) {
            // Bursts at up to 15 keys a second (66 ms apart), pauses between.
            const std::uint16_t code = kCodes[below(std::size(kCodes))];
            if (held.contains(code)) {
                rig.keyDown(code, true);
            } else {
                rig.scheduleSample(now + (2 + below(4)) * kTicksPerMilli,
                                   kRest + 0.01f + float(below(300)) / 1000.0f);
                rig.keyDown(code);
                ++result.keyDowns;
                held[code] = now + (30 + below(120)) * kTicksPerMilli;
            }
            nextKey =
                now + (67 + (below(10) == 0 ? 300 + below(1200) : below(100))) * kTicksPerMilli;
        }
        if (now >= nextAction) {
            // Every kind of action once per round, in a random order; after a
            // stop the next action is the start.
            if (stopped) {
                coordinator.start();
                stopped = false;
                ++result.actions["start"];
            } else {
                if (round.empty()) {
                    round = {0, 1, 2, 3, 4, 5, 6};
                    std::shuffle(round.begin(), round.end(), random);
                }
                const auto& [name, action] = actions[std::size_t(round.back())];
                round.pop_back();
                action();
                ++result.actions[name];
            }
            nextAction = now + (2000 + below(3000)) * kTicksPerMilli;
        }
        if (stopped) {
            rig.run(1ms);
        } else {
            rig.run(1ms, kRest);
        }
    }

    // Let go of every key, turn sound on, and let every voice finish.
    for (const auto& [code, at] : held) {
        rig.keyUp(code);
    }
    if (stopped) {
        coordinator.start();
    }
    rig.run(3000ms, kRest);
    result.framesPulled = rig.framesPulled();
    result.busyVoicesAtEnd = coordinator.audioEngine().busyVoiceCount();
    result.audioHash = audio.value();
    result.reportHash = reports.value();
    EXPECT_TRUE(rig.settings().save());
    const ToccaSettings saved = ToccaSettings::load();
    result.savedSettingsReadBack = !saved.hasUnreadableFile() &&
                                   saved.selectedPackName() == rig.settings().selectedPackName() &&
                                   saved.masterVolume() == rig.settings().masterVolume();
    return result;
}

} // namespace

TEST(Soak, TypingWithSwitchesReloadsTogglesAndRestartsEndsQuietWithEveryPressReported) {
    const long seconds = soakSeconds();
    const SoakResult r = soak(20260601, seconds);
    EXPECT_GE(r.framesPulled, std::uint64_t(seconds) * 48000)
        << "the audio was not pulled throughout";
    std::printf("soak: %ld s, %llu key downs, %llu presses (%llu sounded), %llu releases\n",
                seconds, (unsigned long long)r.keyDowns, (unsigned long long)r.presses,
                (unsigned long long)r.sounded, (unsigned long long)r.releases);
    // At least ~2 keys a second on average reached the classifier.
    EXPECT_GT(r.keyDowns, std::uint64_t(seconds) * 2);
    EXPECT_GT(r.presses, r.keyDowns / 2);
    EXPECT_LE(r.presses, r.keyDowns);
    EXPECT_GT(r.sounded, 0u);
    EXPECT_GE(r.releases, r.keyDowns / 2);
    EXPECT_GT(r.peak, 1e-3) << "nothing was heard";
    EXPECT_LE(r.peak, 1.0) << "the mix clipped";
    EXPECT_EQ(r.busyVoicesAtEnd, 0u) << "voices still busy after three quiet seconds";
    EXPECT_TRUE(r.savedSettingsReadBack);
    if (seconds >= 60) {
        for (const char* action : {"switch", "reload", "sound toggle", "calibrate", "save", "stop"}) {
            EXPECT_GT(r.actions.count(action), 0u) << action << " never happened";
        }
    }
}

TEST(Soak, SameSeedGivesTheSameAudioAndReportsAndAnotherSeedDoesNot) {
    const long seconds = std::min(soakSeconds(), 20L);
    const SoakResult a = soak(99, seconds);
    const SoakResult b = soak(99, seconds);
    const SoakResult c = soak(100, seconds);
    EXPECT_EQ(a.audioHash, b.audioHash);
    EXPECT_EQ(a.reportHash, b.reportHash);
    EXPECT_EQ(a.presses, b.presses);
    EXPECT_NE(a.audioHash, c.audioHash);
    EXPECT_NE(a.reportHash, c.reportHash);
}
