// Presses at a fixed strength: without a sensor, chosen in Settings, while a
// sensor is lost; and the coding of the two settings.
#include <gtest/gtest.h>

#include <thread>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/sensing/spu_sensor.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

SettingsValues tone(VelocitySource source = VelocitySource::automatic) {
    SettingsValues v;
    v.selectedPackName = "Tone";
    v.velocitySource = source;
    v.fixedVelocity = 0.3f;
    return v;
}

// Virtual time 1 ms per real millisecond until `done` (at most 3 s), so
// what the sensor thread posts gets its turn.
bool pumpUntil(CoordinatorRig& rig, const std::function<bool()>& done) {
    for (int i = 0; i < 3000 && !done(); ++i) {
        rig.scheduler.advanceBy(1ms);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// A 400 Hz accelerometer that can leave the registry and whose stream can
// end (unplugged) or refuse to open.
struct FlakySensors final : SensorRegistry {
    std::atomic<bool> present{true}, failing{false};
    std::atomic<int> opened{0};
    struct Stream final : SensorReportStream {
        explicit Stream(FlakySensors& s) : s(s) {}
        bool runSlice(double, SensorReportCallback, void*) override {
            std::this_thread::sleep_for(1ms);
            return !s.failing;
        }
        void interrupt() noexcept override {}
        FlakySensors& s;
    };
    struct Device final : SensorDevice {
        explicit Device(FlakySensors& s) : s(s) {}
        std::unique_ptr<SensorReportStream> open() override {
            ++s.opened;
            return s.failing ? nullptr : std::make_unique<Stream>(s);
        }
        FlakySensors& s;
    };
    std::optional<std::vector<SensorService>> matchingServices(std::string_view cls) override {
        if (!present || cls != kSensorDeviceClass) {
            return std::vector<SensorService>{};
        }
        return std::vector<SensorService>{{"flaky",
                                           {{"PrimaryUsagePage", kAccelUsagePage},
                                            {"PrimaryUsage", kAccelUsage},
                                            {"Product", std::string("Flaky")},
                                            {"SampleRate", std::int64_t(400)}}}};
    }
    bool setProperty(const SensorService&, std::string_view, std::int32_t) override { return true; }
    std::unique_ptr<SensorDevice> createDevice(const SensorService&) override {
        return std::make_unique<Device>(*this);
    }
};

} // namespace

TEST(FixedStrength, WithoutSensorPressesPlayTheFixedVelocityThroughTiersAndCrossfades) {
    RigOptions noSensor;
    noSensor.accelerometer = false;
    CoordinatorRig rig(noSensor);
    installPack("Tone", rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(tone());
    EXPECT_TRUE(coordinator.isRunning()) << "sound on starts it, sensor or not";
    EXPECT_EQ(describe(coordinator.strikeSource()), "Fixed strength: no accelerometer");
    EXPECT_TRUE(log.contains("[Clavio] No readable accelerometer: every key plays at a fixed "
                             "strength of 30%"));
    // Thresholds 0.25 / 0.55 / 0.82, crossfade 0.08: within 0.04 of a
    // threshold both neighbouring layers sound.
    using enum VelocityTier;
    const std::tuple<float, VelocityTier, std::vector<VelocityTier>> cases[] = {
        {0.4f, medium, {medium}},
        {0.57f, hard, {medium, hard}},
        {0.8f, hard, {hard, slam}},
        {0.95f, slam, {slam}},
        {0.1f, soft, {soft}}};
    for (const auto& [velocity, tier, layers] : cases) {
        rig.settings().setFixedVelocity(velocity);
        rig.keyDown(0);
        rig.run(40ms);
        const auto press = rig.presses().back();
        EXPECT_FLOAT_EQ(press.impact.velocity, velocity);
        EXPECT_EQ(press.impact.tier, tier) << velocity;
        std::vector<VelocityTier> sounded;
        for (const auto& layer : press.layers) {
            sounded.push_back(layer.sampleIndex >= 0 ? layer.tier : silent);
        }
        EXPECT_EQ(sounded, layers) << velocity;
    }
    EXPECT_NE(rig.firstSoundingFrame(), -1);
    EXPECT_EQ(coordinator.sessionTierCounts(),
              (std::map<std::string, std::int64_t>{
                  {"soft", 1}, {"medium", 1}, {"hard", 2}, {"slam", 1}}));
    EXPECT_EQ(coordinator.calibration().count(), 0) << "a fixed strength is no measurement";
}

// Chosen in Settings, the sensor is never opened; measuring when allowed;
// lost, the fixed strength until the sensor is listed and readable again.
TEST(FixedStrength, FollowsTheSettingAndASensorLostAndBack) {
    CoordinatorRig rig;
    auto sensors = std::make_shared<FlakySensors>();
    LogCapture log;
    const auto coordinator = makeCoordinator(
        std::make_shared<ToccaSettings>(tone(VelocitySource::fixed)),
        {&rig.scheduler, &rig.classifyQueue, sensors, rig.keys, &rig.rawDecoder, &rig.output, {}},
        rig.options());
    rig.scheduler.advanceBy(1ms); // the first turn: start()
    float velocity = -1.0f;       // a measured press finds no samples: velocity 0
    coordinator->setPressReporter([&](const auto& p) { velocity = p.impact.velocity; });
    auto press = [&] {
        coordinator->keyboard().deliverTapEvent({TCATapEventType::keyDown, 0, 0, false});
        rig.scheduler.advanceBy(40ms);
        return velocity;
    };
    auto measuring = [&] { return coordinator->sensorStatusValue() == SensorStatus::running; };
    EXPECT_FLOAT_EQ(press(), 0.3f);
    EXPECT_EQ(describe(coordinator->strikeSource()), "Fixed strength: chosen in Settings");
    EXPECT_EQ(sensors->opened, 0);

    coordinator->settings().setVelocitySource(VelocitySource::automatic);
    ASSERT_TRUE(pumpUntil(rig, measuring));
    EXPECT_EQ(describe(coordinator->strikeSource()), "Measuring strikes with Flaky at 400 Hz");
    EXPECT_FLOAT_EQ(press(), 0.0f);

    sensors->present = false;
    sensors->failing = true;
    ASSERT_TRUE(pumpUntil(rig, [&] { return !measuring(); }));
    EXPECT_EQ(describe(coordinator->strikeSource()), "Fixed strength: accelerometer lost");
    EXPECT_FLOAT_EQ(press(), 0.3f);
    const int opens = sensors->opened;
    rig.scheduler.advanceBy(4s);
    EXPECT_EQ(sensors->opened, opens) << "not reopened while the registry lacks it";
    sensors->present = true; // listed again, still unreadable: tried, still lost
    rig.scheduler.advanceBy(2s);
    ASSERT_TRUE(pumpUntil(rig, [&] { return sensors->opened > opens; }));
    EXPECT_FLOAT_EQ(press(), 0.3f);
    sensors->failing = false;
    rig.scheduler.advanceBy(2s);
    ASSERT_TRUE(pumpUntil(rig, measuring));
    EXPECT_FLOAT_EQ(press(), 0.0f);

    coordinator->settings().setVelocitySource(VelocitySource::fixed);
    EXPECT_FLOAT_EQ(press(), 0.3f);
    EXPECT_EQ(coordinator->sensor().status(), SensorStatus::stopped);
    for (const char* line : {"Strike strength fixed at 30% (chosen in Settings)",
                             "Measuring strikes with Flaky at 400 Hz",
                             "Accelerometer lost: playing at a fixed strength until it returns",
                             "Accelerometer back: measuring strikes again"}) {
        EXPECT_EQ(log.count(std::string("[Clavio] ") + line), line[0] == 'S' ? 2u : 1u) << line;
    }
    coordinator->stop();
}

TEST(FixedStrengthSettings, RoundTripOldFilesAndBadValuesFallBack) {
    std::string json, error;
    ASSERT_TRUE(encodeSettings(tone(VelocitySource::fixed), json, error)) << error;
    EXPECT_NE(json.find(R"("velocitySource":"fixed","fixedVelocity":0.3)"), std::string::npos);
    EXPECT_EQ(decodeSettings(json).value(), tone(VelocitySource::fixed));
    EXPECT_EQ(decodeSettings("{}").value(), SettingsValues{}) << "older files keep working";
    for (const char* bad :
         {R"({"velocitySource":"loud"})", R"({"velocitySource":2})", R"({"fixedVelocity":1.5})",
          R"({"fixedVelocity":-0.01})", R"({"fixedVelocity":"0.5"})"}) {
        EXPECT_FALSE(decodeSettings(bad)) << bad; // load() then keeps every default
    }
    SettingsValues outOfRange;
    outOfRange.fixedVelocity = 2.0f; // would not read back
    EXPECT_FALSE(encodeSettings(outOfRange, json, error));
}
