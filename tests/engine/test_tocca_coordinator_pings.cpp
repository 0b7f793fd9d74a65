// The coordinator's usage pings on virtual time: launch counting, the
// heartbeat four hours on, the quit observer, and no pings without an address.
#include <gtest/gtest.h>

#include "engine/settings/json_defaults_store.h"
#include "engine/runtime/termination_center.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

struct PingRig {
    PingRig() : defaults(dir / "defaults.json") {
        RigOptions options;
        options.httpSender = &sender;
        options.defaultsStore = &defaults;
        options.machine = &machine;
        options.pingBaseUrl = "http://ping.test/";
        rig.emplace(options);
        termination = std::make_unique<TerminationCenter>(rig->scheduler);
        rig->options().termination = termination.get();
        writeStandardPack(rig->userPacks() / "Tone");
    }
    ToccaCoordinator& launch(SettingsValues values = {}) {
        values.selectedPackName = "Tone";
        return rig->launch(values);
    }
    TempDir dir;
    JsonDefaultsStore defaults;
    RecordingHttpSender sender;
    FixedMachineDescription machine;
    std::optional<CoordinatorRig> rig;
    std::unique_ptr<TerminationCenter> termination;
};

} // namespace

TEST(CoordinatorPings, LaunchCountRisesAcrossLaunchesWhileTheIdentifierStays) {
    PingRig p;
    p.launch();
    p.rig->dropCoordinator();
    p.launch();
    const auto launches = p.sender.events("launch");
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].at("launches"), 1);
    EXPECT_EQ(launches[1].at("launches"), 2);
    EXPECT_EQ(launches[0].at("aid"), launches[1].at("aid"));
    EXPECT_EQ(p.defaults.integerForKey("clavio_launch_count"), 2);
    EXPECT_EQ(p.sender.urls().at(0), "http://ping.test/api/ping");
    const auto& body = launches[0];
    EXPECT_EQ(body.at("v"), "9.8.7");
    EXPECT_EQ(body.at("hw"), "Test Book 13");
    EXPECT_EQ(body.at("chip"), "unknown");
    EXPECT_EQ(body.at("pack"), "Tone");
    EXPECT_EQ(body.at("sensor"), "yes");
    EXPECT_EQ(body.at("sound_on"), true);
    EXPECT_EQ(body.at("ts"), "2026-01-31T09:15:00Z");
}

TEST(CoordinatorPings, HeartbeatFourHoursOnAndQuitReportTheSessionTotals) {
    PingRig p;
    SettingsValues values;
    auto& coordinator = p.launch(values);
    p.rig->run(300ms, 1.0f);
    for (int i = 0; i < 3; ++i) {
        p.rig->keyDown(0);
        p.rig->run(40ms, 1.0f);
    }
    // Without the 0.1 s and 0.05 s timers the four hours pass quickly.
    coordinator.stop();
    EXPECT_TRUE(p.sender.events("heartbeat").empty());
    p.rig->scheduler.runUntil(p.rig->launchTicks() + 14400ull * 1'000'000'000ull);
    const auto heartbeats = p.sender.events("heartbeat");
    ASSERT_EQ(heartbeats.size(), 1u);
    EXPECT_EQ(heartbeats[0].at("session_min"), 240);
    EXPECT_EQ(heartbeats[0].at("keys"), 3);
    const auto tiers = heartbeats[0].at("tiers");
    for (const char* tier : {"soft", "medium", "hard", "slam"}) {
        EXPECT_TRUE(tiers.contains(tier)) << tier;
    }
    std::int64_t total = 0;
    for (const auto& [tier, count] : tiers.items()) {
        total += count.get<std::int64_t>();
    }
    EXPECT_EQ(total, 3);

    // The quit observer reports the same totals, once.
    EXPECT_TRUE(p.sender.events("quit").empty());
    p.rig->scheduler.advanceBy(30min);
    p.termination->notifyTermination();
    p.termination->notifyTermination();
    const auto quits = p.sender.events("quit");
    ASSERT_EQ(quits.size(), 1u);
    EXPECT_EQ(quits[0].at("session_min"), 270);
    EXPECT_EQ(quits[0].at("keys"), 3);
    EXPECT_EQ(quits[0].at("tiers"), tiers);
}

TEST(CoordinatorPings, NoAddressMeansNoPingNoCountAndNoIdentifier) {
    TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    RecordingHttpSender sender;
    RigOptions options;
    options.httpSender = &sender;
    options.defaultsStore = &defaults;
    CoordinatorRig rig(options);
    writeStandardPack(rig.userPacks() / "Tone");
    writeStandardPack(rig.userPacks() / "Other");
    SettingsValues values;
    values.selectedPackName = "Tone";
    auto& coordinator = rig.launch(values);
    coordinator.switchPack("Other");
    coordinator.sendEvent("sound_toggle", {{"enabled", false}});
    EXPECT_TRUE(sender.urls().empty());
    EXPECT_EQ(defaults.integerForKey("clavio_launch_count"), 0);
    EXPECT_FALSE(defaults.stringForKey("clavio_anon_id"));
}
