// The coordinator on real threads: a RunLoop as the main queue, the serial
// classify queue with its worker, the sensor and capture threads over
// in-memory ports, and an audio thread pulling the mixer. Run under
// ThreadSanitizer and AddressSanitizer, these catch races and reads of freed
// memory between the main thread's pack loads, the keyboard thread's release
// sounds, the classify queue's presses and baseline updates and the render.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/sensing/accel_report.h"
#include "engine/runtime/run_loop.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> restingReport(float magnitude) {
    std::vector<std::uint8_t> report(kAccelReportLength);
    encodeAccelReport(0.0, 0.0, magnitude, report.data());
    return report;
}

// The coordinator wired to real queues and threads.
struct Threaded {
    explicit Threaded(SettingsValues values) {
        writeStandardPack(home.dataHome() / "Clavio" / "SoundPacks" / "Tone");
        writeTonePack(home.dataHome() / "Clavio" / "SoundPacks" / "Long",
                      {{"alpha", {{"soft", {"long.raw"}}, {"hard", {"long2.raw"}}}}},
                      nlohmann::json{{"alpha", {"long.raw"}}},
                      {{"long.raw", 0.5f, 24000}, {"long2.raw", 0.4f, 24000}});
        CoordinatorServices services;
        services.mainQueue = &loop;
        services.classifyQueue = &counting;
        services.sensorRegistry = registry;
        services.keySource = keys;
        services.audioDecoder = &decoder;
        services.audioOutput = &output;
        coordinator = ToccaCoordinator::create(std::make_shared<ToccaSettings>(values), services);
        coordinator->setPressReporter([this](const ToccaCoordinator::PressReport& report) {
            if (!counting.isCurrentQueue()) {
                ++offQueue;
            }
            std::lock_guard lock(mutex);
            presses.push_back(report);
        });
        coordinator->setReleaseReporter([this](const ToccaCoordinator::ReleaseReport& report) {
            if (report.sampleIndex >= 0) {
                ++releasesSounded;
            }
        });
        EXPECT_TRUE(loop.runUntil([&] { return coordinator->isRunning(); }, 5s));
    }
    ~Threaded() {
        if (coordinator) {
            coordinator->stop();
        }
        queue.waitUntilIdle(5s);
        coordinator.reset();
    }
    std::size_t pressCount() {
        std::lock_guard lock(mutex);
        return presses.size();
    }

    ScopedXdgHome home;
    RunLoop loop;
    SerialDeadlineQueue queue;
    CountingClassifyQueue counting{queue};
    OfflineAudioOutput output;
    RawAudioDecoder decoder;
    std::shared_ptr<MemorySensorRegistry> registry = std::make_shared<MemorySensorRegistry>(true);
    std::shared_ptr<MemoryKeySource> keys = std::make_shared<MemoryKeySource>();
    std::shared_ptr<ToccaCoordinator> coordinator;
    std::mutex mutex;
    std::vector<ToccaCoordinator::PressReport> presses;
    std::atomic<int> offQueue{0};
    std::atomic<int> releasesSounded{0};
};

// Pushes resting reports at about 1 kHz and a key press and release every
// `keyEvery`, until stopped.
void feed(Threaded& t, std::atomic<bool>& stop, std::chrono::milliseconds keyEvery) {
    auto nextKey = std::chrono::steady_clock::now();
    std::uint16_t code = 0;
    while (!stop) {
        t.registry->push(restingReport(1.0f));
        if (std::chrono::steady_clock::now() >= nextKey) {
            t.keys->push({TCATapEventType::keyDown, code, 0, false});
            t.keys->push({TCATapEventType::keyUp, code, 0, false});
            code = std::uint16_t((code + 1) % 8);
            nextKey += keyEvery;
        }
        std::this_thread::sleep_for(1ms);
    }
}

} // namespace

TEST(CoordinatorThreads, BaselineUpdatesAndClassificationsShareTheOneClassifyQueue) {
    SettingsValues values;
    values.selectedPackName = "Tone";
    values.useAdaptiveClassifier = false; // its baseline moves only through the baseline tick
    Threaded t(values);
    std::atomic<bool> stop{false};
    std::thread feeder([&] { feed(t, stop, 40ms); });
    const auto ranBefore = t.counting.ran();
    t.loop.runFor(700ms);
    // A calibration lands on the queue between classifications.
    CalibrationResult result;
    result.recommendedSoftThreshold = 0.0f;
    result.recommendedMediumThreshold = 0.25f;
    result.recommendedHardThreshold = 0.55f;
    result.recommendedHardCap = 0.2f;
    t.coordinator->applyCalibration(result);
    t.loop.runFor(800ms);
    stop = true;
    feeder.join();
    t.loop.runFor(100ms);
    ASSERT_TRUE(t.queue.waitUntilIdle(5s));

    const std::size_t presses = t.pressCount();
    EXPECT_GE(presses, 10u);
    EXPECT_EQ(t.offQueue.load(), 0) << "every press was classified on the classify queue";
    EXPECT_EQ(t.counting.overlaps(), 0u);
    // Presses, the calibration and the baseline ticks of 1.6 s (16 when the
    // machine keeps up; a tick late by more than its interval is not repeated).
    EXPECT_GE(t.counting.ran() - ranBefore, presses + 1 + 10);
    std::lock_guard lock(t.mutex);
    EXPECT_GT(t.presses.back().impact.baseline, 0.9f)
        << "the baseline ticks reached the classifier";
    EXPECT_EQ(t.coordinator->sessionKeystrokes(), std::int64_t(presses));
}

TEST(CoordinatorThreads, PackSwitchesWhileKeysSoundOnEveryThread) {
    SettingsValues values;
    values.selectedPackName = "Tone";
    Threaded t(values);
    std::atomic<bool> stop{false};
    std::atomic<bool> stopAudio{false};
    // The audio thread, pulling about as fast as a device would.
    std::thread audio([&] {
        std::vector<float> block(64 * 2);
        while (!stopAudio) {
            t.output.pull(block.data(), 64);
            std::this_thread::sleep_for(500us);
        }
    });
    std::thread feeder([&] { feed(t, stop, 3ms); });
    for (int i = 0; i < 30; ++i) {
        t.coordinator->switchPack(i % 2 ? "Tone" : "Long");
        t.loop.runFor(15ms);
    }
    stop = true;
    feeder.join();
    t.loop.runFor(100ms);
    ASSERT_TRUE(t.queue.waitUntilIdle(5s));
    stopAudio = true;
    audio.join();

    EXPECT_GT(t.pressCount(), 20u);
    EXPECT_GT(t.releasesSounded.load(), 20);
    EXPECT_EQ(t.coordinator->settings().selectedPackName(), "Tone");
    EXPECT_EQ(t.coordinator->loadedSampleMap().at("alpha_soft"), (std::vector<std::int32_t>{0}));
}
