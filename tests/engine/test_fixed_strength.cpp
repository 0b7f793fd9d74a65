// Presses at a fixed strength: without a sensor, when chosen in Settings,
// and while a sensor is lost; the strike-strength settings' coding.
#include <gtest/gtest.h>

#include <thread>

#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/sensing/accel_report.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/settings/settings_values.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

constexpr float kRest = 1.0f;

SettingsValues steady(VelocitySource source = VelocitySource::automatic, float fixed = 0.5f) {
    SettingsValues v;
    v.selectedPackName = "Tone";
    v.pitchVariation = 0.0f;
    v.gainVariation = 0.0f;
    v.velocitySource = source;
    v.fixedVelocity = fixed;
    return v;
}

std::vector<VelocityTier> layerTiers(const ToccaCoordinator::PressReport& press) {
    std::vector<VelocityTier> tiers;
    for (const auto& layer : press.layers) {
        EXPECT_GE(layer.sampleIndex, 0) << "every layer sounds";
        tiers.push_back(layer.tier);
    }
    return tiers;
}

// Advances virtual time 1 ms per real millisecond until `done` (at most 3 s),
// so that what the sensor thread posts gets its turn.
bool pumpUntil(CoordinatorRig& rig, const std::function<bool()>& done) {
    for (int i = 0; i < 3000; ++i) {
        rig.scheduler.advanceBy(1ms);
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// An accelerometer that can vanish from the registry and whose stream can
// end (unplugged) or refuse to open, so the coordinator sees it lost.
class FlakySensors final : public SensorRegistry {
public:
    std::atomic<bool> present{true};
    std::atomic<bool> failing{false};
    std::atomic<int> opened{0};

    std::optional<std::vector<SensorService>>
    matchingServices(std::string_view serviceClass) override {
        std::vector<SensorService> services;
        if (present && serviceClass == kSensorDeviceClass) {
            SensorService s{"flaky", {}};
            s.properties.emplace("PrimaryUsagePage", std::int64_t(kAccelUsagePage));
            s.properties.emplace("PrimaryUsage", std::int64_t(kAccelUsage));
            s.properties.emplace("Product", std::string("Flaky Accel"));
            s.properties.emplace("SampleRate", std::int64_t(400));
            services.push_back(std::move(s));
        }
        return services;
    }
    bool setProperty(const SensorService&, std::string_view, std::int32_t) override { return true; }
    std::unique_ptr<SensorDevice> createDevice(const SensorService&) override {
        return std::make_unique<Device>(*this);
    }

private:
    struct Stream final : SensorReportStream {
        explicit Stream(FlakySensors& s) : sensors(s) {}
        bool runSlice(double, SensorReportCallback, void*) override {
            std::this_thread::sleep_for(1ms);
            return !sensors.failing;
        }
        void interrupt() noexcept override {}
        FlakySensors& sensors;
    };
    struct Device final : SensorDevice {
        explicit Device(FlakySensors& s) : sensors(s) {}
        std::unique_ptr<SensorReportStream> open() override {
            ++sensors.opened;
            return sensors.failing ? nullptr : std::make_unique<Stream>(sensors);
        }
        FlakySensors& sensors;
    };
};

} // namespace

TEST(FixedStrength, WithoutSensorPressesPlayTheFixedVelocityThroughTiersAndCrossfades) {
    RigOptions options;
    options.accelerometer = false;
    CoordinatorRig rig(options);
    installPack("Tone", rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(steady());
    EXPECT_TRUE(coordinator.isRunning()) << "sound on starts it, sensor or not";
    EXPECT_EQ(describe(coordinator.strikeSource()), "Fixed strength: no accelerometer");
    EXPECT_EQ(log.count("[Clavio] No readable accelerometer: every key plays at a fixed strength "
                        "of 50%"),
              1u);
    // Thresholds 0.25 / 0.55 / 0.82, crossfade 0.08 wide: a velocity within
    // 0.04 of a threshold sounds both neighbouring layers.
    struct Case {
        float velocity;
        VelocityTier tier;
        std::vector<VelocityTier> layers;
    };
    using enum VelocityTier;
    const Case cases[] = {{0.4f, medium, {medium}}, {0.57f, hard, {medium, hard}},
                          {0.8f, hard, {hard, slam}}, {0.95f, slam, {slam}},
                          {0.1f, soft, {soft}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.velocity);
        rig.settings().setFixedVelocity(c.velocity);
        rig.keyDown(0);
        rig.run(40ms);
        rig.keyUp(0);
        const auto press = rig.presses().back();
        EXPECT_FLOAT_EQ(press.impact.velocity, c.velocity);
        EXPECT_EQ(press.impact.tier, c.tier);
        EXPECT_EQ(layerTiers(press), c.layers);
    }
    EXPECT_NE(rig.firstSoundingFrame(), -1);
    EXPECT_EQ(coordinator.sessionTierCounts(),
              (std::map<std::string, std::int64_t>{
                  {"soft", 1}, {"medium", 1}, {"hard", 2}, {"slam", 1}}));
    EXPECT_EQ(coordinator.calibration().count(), 0) << "a fixed strength is no measurement";
    // Per-key pitch applies: another key at the same strength, another pitch.
    rig.keyDown(11);
    rig.run(40ms);
    const auto presses = rig.presses();
    EXPECT_FLOAT_EQ(presses.back().layers[0].pitchShift - presses[4].layers[0].pitchShift,
                    ToccaCoordinator::pitchForKey(11) - ToccaCoordinator::pitchForKey(0));
}

TEST(FixedStrength, ChosenInSettingsIgnoresThePresentSensorAndFollowsChangesAtOnce) {
    CoordinatorRig rig;
    installPack("Tone", rig.userPacks() / "Tone");
    LogCapture log;
    auto& coordinator = rig.launch(steady(VelocitySource::fixed, 0.3f));
    auto strike = [&] {
        rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, kRest + 0.2f);
        rig.keyDown(0);
        rig.run(40ms, kRest);
        rig.keyUp(0);
        return rig.presses().back().impact;
    };
    rig.run(500ms, kRest);
    EXPECT_EQ(describe(coordinator.strikeSource()), "Fixed strength: chosen in Settings");
    EXPECT_EQ(log.count("[Clavio] Strike strength fixed at 30% (chosen in Settings)"), 1u);
    EXPECT_FLOAT_EQ(strike().velocity, 0.3f) << "a hard strike is not measured";
    EXPECT_EQ(coordinator.sensor().status(), SensorStatus::stopped) << "never started";

    rig.settings().setVelocitySource(VelocitySource::automatic);
    ASSERT_TRUE(pumpUntil(rig, [&] { return coordinator.sensorStatusValue() == SensorStatus::running; }));
    EXPECT_EQ(describe(coordinator.strikeSource()), "Measuring strikes with Session trace");
    EXPECT_EQ(log.count("[Clavio] Measuring strikes with Session trace"), 1u);
    rig.run(500ms, kRest);
    const ImpactResult measured = strike();
    EXPECT_GT(measured.samplesInWindow, 0u);
    EXPECT_GT(measured.velocity, 0.9f);
    EXPECT_EQ(coordinator.calibration().count(), 1);

    rig.settings().setVelocitySource(VelocitySource::fixed);
    EXPECT_FLOAT_EQ(strike().velocity, 0.3f);
    EXPECT_EQ(log.count("[Clavio] Strike strength fixed at 30% (chosen in Settings)"), 2u);
    EXPECT_EQ(coordinator.sensor().status(), SensorStatus::stopped);
}

TEST(FixedStrength, LostSensorPlaysFixedUntilItIsReadableAgain) {
    CoordinatorRig rig;
    installPack("Tone", rig.userPacks() / "Tone");
    auto sensors = std::make_shared<FlakySensors>();
    auto settings = std::make_shared<ToccaSettings>(steady());
    const CoordinatorParts parts{&rig.scheduler, &rig.classifyQueue, sensors, rig.keys,
                                 &rig.rawDecoder, &rig.output, {}};
    LogCapture log;
    auto coordinator = makeCoordinator(settings, parts, rig.options());
    std::vector<float> velocities;
    coordinator->setPressReporter([&](const auto& p) { velocities.push_back(p.impact.velocity); });
    auto press = [&] {
        coordinator->keyboard().deliverTapEvent({TCATapEventType::keyDown, 0, 0, false});
        rig.scheduler.advanceBy(40ms);
        coordinator->keyboard().deliverTapEvent({TCATapEventType::keyUp, 0, 0, false});
        return velocities.back();
    };
    auto reason = [&] { return coordinator->strikeSource().reason; };
    auto measuring = [&] {
        return coordinator->strikeSource().mode == StrikeSource::Mode::accelerometer &&
               coordinator->sensorStatusValue() == SensorStatus::running;
    };

    ASSERT_TRUE(pumpUntil(rig, measuring));
    EXPECT_EQ(describe(coordinator->strikeSource()), "Measuring strikes with Flaky Accel at 400 Hz");
    EXPECT_EQ(log.count("[Clavio] Measuring strikes with Flaky Accel at 400 Hz"), 1u);
    EXPECT_FLOAT_EQ(press(), 0.0f) << "measured: an empty window";

    sensors->present = false;
    sensors->failing = true;
    ASSERT_TRUE(pumpUntil(rig, [&] { return reason() == "accelerometer lost"; }));
    EXPECT_FLOAT_EQ(press(), 0.5f);
    const int opens = sensors->opened;
    rig.scheduler.advanceBy(4s);
    EXPECT_EQ(sensors->opened, opens) << "not reopened while the registry lacks it";
    // Listed again but still unreadable: tried, still lost, nothing more said.
    sensors->present = true;
    rig.scheduler.advanceBy(2s);
    ASSERT_TRUE(pumpUntil(rig, [&] { return sensors->opened > opens; }));
    pumpUntil(rig, [&] { return coordinator->sensorStatusValue() == SensorStatus::accessDenied; });
    EXPECT_EQ(reason(), "accelerometer lost");
    EXPECT_FLOAT_EQ(press(), 0.5f);

    sensors->failing = false;
    rig.scheduler.advanceBy(2s);
    ASSERT_TRUE(pumpUntil(rig, measuring));
    EXPECT_FLOAT_EQ(press(), 0.0f);
    EXPECT_EQ(log.count("[Clavio] Accelerometer lost: playing at a fixed strength until it "
                        "returns"),
              1u);
    EXPECT_EQ(log.count("[Clavio] Accelerometer back: measuring strikes again"), 1u);
    coordinator->stop();
}

TEST(FixedStrengthSettings, RoundTripOldFilesAndBadValuesFallBack) {
    SettingsValues chosen;
    chosen.velocitySource = VelocitySource::fixed;
    chosen.fixedVelocity = 0.3f;
    std::string json, error;
    ASSERT_TRUE(encodeSettings(chosen, json, error)) << error;
    EXPECT_NE(json.find(R"("velocitySource":"fixed","fixedVelocity":0.3)"), std::string::npos);
    EXPECT_EQ(decodeSettings(json).value(), chosen);
    const auto old = decodeSettings(R"({"masterVolume":0.5})");
    ASSERT_TRUE(old);
    EXPECT_EQ(old.value().velocitySource, VelocitySource::automatic);
    EXPECT_EQ(old.value().fixedVelocity, 0.5f);

    for (const char* bad : {R"({"velocitySource":"loud"})", R"({"velocitySource":2})",
                            R"({"velocitySource":"Auto"})", R"({"fixedVelocity":1.5})",
                            R"({"fixedVelocity":-0.01})", R"({"fixedVelocity":"0.5"})",
                            R"({"fixedVelocity":true})"}) {
        SCOPED_TRACE(bad);
        const auto decoded = decodeSettings(bad);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error().path.rfind("$.", 0), 0u) << decoded.error().text();
    }
    // The file's fallback: every default, the file kept aside on save.
    ScopedXdgHome home;
    writeFile(ToccaSettings::fileURL(), R"({"velocitySource":"loud","masterVolume":0.2})");
    ToccaSettings loaded = ToccaSettings::load();
    EXPECT_TRUE(loaded.hasUnreadableFile());
    EXPECT_EQ(loaded.values(), SettingsValues{});
    // A value out of range is not written where it could not be read back.
    chosen.fixedVelocity = 2.0f;
    EXPECT_FALSE(encodeSettings(chosen, json, error));
    EXPECT_EQ(error, "the value of fixedVelocity is not from 0 to 1");
}
