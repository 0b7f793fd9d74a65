// The real coordinator on virtual time with the built-in packs: typing over a 1 kHz
// accelerometer with pack switches, reloads, toggles, calibrations, restarts and saves.
// CLAVIO_SOAK_SECONDS sets the virtual duration (default 60; `make soak`: an hour, ASan).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>

#include "engine/audio/audio_engine.h"
#include "engine/sensing/calibration.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

TEST(Soak, TypingWithSwitchesReloadsTogglesAndRestartsEndsQuietWithEveryPressReported) {
    const char* text = std::getenv("CLAVIO_SOAK_SECONDS");
    const long seconds =
        text && std::strtol(text, nullptr, 10) > 0 ? std::strtol(text, nullptr, 10) : 60;
    std::mt19937_64 random(20260601);
    auto below = [&](std::uint64_t n) { return random() % n; };
    auto ms = [](std::uint64_t n) { return n * kTicksPerMilli; };
    constexpr float kRest = 1.0f;
    // Letters, digits, space (often), return, delete, arrows, F-keys.
    constexpr std::uint16_t kCodes[] = {0,  1,  2,  3,  4,  5,  11, 12,  13,  14,  15,  16,  17, 31,
                                        18, 19, 49, 49, 49, 36, 51, 123, 124, 125, 126, 122, 120};
    platform::SndfileDecoder decoder;
    RigOptions options;
    options.decoder = &decoder;
    options.bundledPacks = std::filesystem::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks";
    CoordinatorRig rig(options);
    double peak = 0.0;
    rig.audioSink = [&](const float* block, std::size_t frames) {
        for (std::size_t i = 0; i < frames * 2; ++i) {
            peak = std::max(peak, double(std::fabs(block[i])));
        }
    };
    SettingsValues values;
    values.selectedPackName = "Biscuit";
    auto& coordinator = rig.launch(values);
    ASSERT_FALSE(coordinator.loadedSampleMap().empty()) << "the built-in pack did not load";
    std::uint64_t presses = 0, sounded = 0, releases = 0, keyDowns = 0;
    coordinator.setPressReporter([&](const ToccaCoordinator::PressReport& press) {
        ++presses;
        sounded += press.sounded;
    });
    coordinator.setReleaseReporter([&](const auto&) { ++releases; });
    rig.run(500ms, kRest);

    std::map<std::uint16_t, std::uint64_t> held; // code -> release time
    auto releaseDue = [&](std::uint64_t now) {
        std::erase_if(held, [&](const auto& key) {
            if (key.second <= now) {
                rig.keyUp(key.first);
            }
            return key.second <= now;
        });
    };
    bool biscuit = true, stopped = false;
    // Each kind once per round, in a random order; after a stop the next is the start.
    const std::pair<const char*, std::function<void()>> actions[] = {
        {"stop",
         [&] {
             releaseDue(UINT64_MAX); // the tap goes quiet: held keys come up first
             coordinator.stop();
             stopped = true;
         }},
        {"switch", [&] { coordinator.switchPack((biscuit = !biscuit) ? "Biscuit" : "Bluebell"); }},
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
    };
    std::map<std::string, int> done;
    std::vector<int> round;
    const std::uint64_t end = rig.now() + ms(1000 * std::uint64_t(seconds));
    for (std::uint64_t nextKey = rig.now(), nextAction = nextKey + ms(2000 + below(3000));
         rig.now() < end; stopped ? rig.run(1ms) : rig.run(1ms, kRest)) {
        const std::uint64_t now = rig.now();
        releaseDue(now);
        if (!stopped && now >= nextKey) {
            // Bursts at up to 15 keys a second (66 ms apart), pauses between.
            const std::uint16_t code = kCodes[below(std::size(kCodes))];
            if (held.contains(code)) {
                rig.keyDown(code, true);
            } else {
                rig.scheduleSample(now + ms(2 + below(4)),
                                   kRest + 0.01f + float(below(300)) / 1e3f);
                rig.keyDown(code);
                ++keyDowns;
                held[code] = now + ms(30 + below(120));
            }
            nextKey = now + ms(67 + (below(10) == 0 ? 300 + below(1200) : below(100)));
        }
        if (now >= nextAction) {
            if (stopped) {
                coordinator.start();
                stopped = false;
            } else {
                if (round.empty()) {
                    round = {0, 1, 2, 3, 4, 5};
                    std::shuffle(round.begin(), round.end(), random);
                }
                actions[round.back()].second();
                ++done[actions[round.back()].first];
                round.pop_back();
            }
            nextAction = now + ms(2000 + below(3000));
        }
    }
    // Let go of every key, start again if stopped, and let every voice finish.
    releaseDue(UINT64_MAX);
    if (stopped) {
        coordinator.start();
    }
    rig.run(3000ms, kRest);
    EXPECT_GE(rig.framesPulled(), std::uint64_t(seconds) * 48000) << "audio not pulled throughout";
    EXPECT_EQ(coordinator.audioEngine().busyVoiceCount(), 0u) << "voices busy after 3 quiet s";
    EXPECT_GT(keyDowns, std::uint64_t(seconds) * 2) << "about 2 keys a second or more";
    EXPECT_TRUE(presses > keyDowns / 2 && presses <= keyDowns) << presses << " of " << keyDowns;
    EXPECT_GT(sounded, 0u);
    EXPECT_GE(releases, keyDowns / 2);
    EXPECT_GT(peak, 1e-3) << "nothing was heard";
    EXPECT_LE(peak, 1.0) << "the mix clipped";
    for (const char* action : {"switch", "reload", "sound toggle", "calibrate", "save", "stop"}) {
        EXPECT_TRUE(seconds < 60 || done.contains(action)) << action << " never happened";
    }
    EXPECT_FALSE(ToccaSettings::load().hasUnreadableFile()) << "a save left a broken file";
}
