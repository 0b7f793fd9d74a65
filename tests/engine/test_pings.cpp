// Usage pings: the pinger's bodies, identifier and address rules, and the
// coordinator's launch, pack change, heartbeat and quit pings on virtual time.
#include <gtest/gtest.h>

#include <regex>

#include "engine/packs/sound_pack_manager.h"
#include "engine/pipeline/usage_pinger.h"
#include "engine/runtime/termination_center.h"
#include "engine/settings/json_defaults_store.h"
#include "tests/support/coordinator_rig.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

UsagePinger::Options options(std::optional<std::string> base, std::string version = "1.4.2") {
    UsagePinger::Options o;
    o.baseUrl = std::move(base);
    o.appVersion = std::move(version);
    o.wallClock = [] { return std::chrono::system_clock::time_point(1769850900s); };
    return o;
}

// The named fields of a ping body.
nlohmann::json pick(const nlohmann::json& body, std::initializer_list<const char*> fields) {
    nlohmann::json picked = nlohmann::json::object();
    for (const char* f : fields) {
        picked[f] = body.value(f, nlohmann::json());
    }
    return picked;
}

const PingContext kContext{"Biscuit", true, 0.8f, true};

// A defaults store, recorder and machine for the pinger.
struct Pinging {
    TempDir dir;
    JsonDefaultsStore defaults{dir / "defaults.json"};
    RecordingHttpSender sender;
    FixedMachineDescription machine;
};

// The coordinator with pings to a test address and the "Tone" pack.
struct CoordinatorPinging : Pinging {
    explicit CoordinatorPinging(std::string base = "http://ping.test/") {
        RigOptions o;
        o.httpSender = &sender;
        o.defaultsStore = &defaults;
        o.machine = &machine;
        o.pingBaseUrl = std::move(base);
        rig.emplace(o);
        termination = std::make_unique<TerminationCenter>(rig->scheduler);
        rig->options().termination = termination.get();
        installPack("Tone", rig->userPacks() / "Tone");
        installPack("Tone", rig->userPacks() / "Other", "Other Tone");
    }
    ToccaCoordinator& launch() {
        SettingsValues values;
        values.selectedPackName = "Tone";
        return rig->launch(values);
    }
    std::optional<CoordinatorRig> rig;
    std::unique_ptr<TerminationCenter> termination;
};

} // namespace

TEST(UsagePinger, BodyHoldsEveryBaseFieldAndExtrasReplaceThem) {
    Pinging p;
    p.machine.cpu = "13th Gen Intel(R) Core(TM) i7-1365U";
    UsagePinger pinger(p.defaults, p.sender, p.machine, options("http://ping.example:8080/"));
    pinger.sendEvent("pack_change", {{"old_pack", "Biscuit"}, {"new_pack", "Ink"}, {"pack", "Ink"}},
                     kContext);
    ASSERT_EQ(p.sender.urls(), std::vector<std::string>{"http://ping.example:8080/api/ping"});
    // The identifier is an upper-case version 4 UUID, stored on first use.
    const auto aid = p.defaults.stringForKey("clavio_anon_id");
    ASSERT_TRUE(aid);
    EXPECT_TRUE(std::regex_match(
        *aid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << *aid;
    EXPECT_NE(UsagePinger::makeUUID(), UsagePinger::makeUUID());
    auto expected = nlohmann::json::parse(R"j({"event":"pack_change","v":"1.4.2",
        "os":"Debian GNU/Linux 12 (bookworm)","hw":"Test Book 13",
        "chip":"13th Gen Intel(R) Core(TM) i7-1365U","locale":"de_CH","pack":"Ink",
        "sensor":"yes","volume":0.8,"sound_on":true,"ts":"2026-01-31T09:15:00Z",
        "old_pack":"Biscuit","new_pack":"Ink"})j");
    expected["aid"] = *aid;
    EXPECT_EQ(p.sender.events("pack_change").at(0), expected);
    p.defaults.setString("clavio_anon_id", "");
    EXPECT_EQ(pinger.anonID().size(), 36u) << "an empty stored identifier must be replaced";
    // Missing machine values and version use their fallbacks.
    p.machine.hw = "";
    p.machine.cpu = "";
    UsagePinger bare(p.defaults, p.sender, p.machine, options("https://p.example", ""));
    auto body = bare.makeBody("launch", {{"launches", 1}}, {"", false, 1.0f, false});
    EXPECT_EQ(pick(body, {"v", "hw", "chip", "sensor"}),
              nlohmann::json::parse(R"({"v":"?","hw":"","chip":"unknown","sensor":"no"})"));
}

TEST(UsagePinger, OnlyAWebAddressFromTheEnvironmentTurnsPingsOn) {
    Pinging p;
    LogCapture log;
    for (const auto& value : {std::optional<std::string>(), std::optional<std::string>("ftp://x")}) {
        ScopedEnv env("CLAVIO_PING_URL", value);
        UsagePinger pinger(p.defaults, p.sender, p.machine, UsagePinger::optionsFromEnvironment());
        pinger.sendEvent("launch", {{"launches", 1}}, kContext);
    }
    EXPECT_TRUE(p.sender.urls().empty());
    EXPECT_EQ(p.defaults.stringForKey("clavio_anon_id"), std::nullopt);
    EXPECT_EQ(log.count("is not an http(s) address; usage pings are off"), 1u);
    ScopedEnv good("CLAVIO_PING_URL", "http://127.0.0.1:9");
    UsagePinger pinger(p.defaults, p.sender, p.machine, UsagePinger::optionsFromEnvironment());
    pinger.sendEvent("launch", {{"launches", 1}}, kContext);
    EXPECT_EQ(p.sender.urls(), std::vector<std::string>{"http://127.0.0.1:9/api/ping"});
    EXPECT_EQ(UsagePinger::endpointFor("HTTPS://a.example//"), "HTTPS://a.example/api/ping");
    EXPECT_EQ(UsagePinger::endpointFor("https://a.example/stats"),
              "https://a.example/stats/api/ping");
    for (const char* bad :
         {"", "a.example", "file:///etc/passwd", "http://", "http:///x", "http://a b",
          "http://a.example/?q=1", "http://a.example#x", "http://:80", " http://a.example"}) {
        EXPECT_EQ(UsagePinger::endpointFor(bad), std::nullopt) << bad;
    }
}

TEST(UsagePinger, SessionExtraCountsWholeMinutesAndAlwaysListsTheFourTiers) {
    EXPECT_EQ(UsagePinger::sessionExtra(14400s, 1234, {{"hard", 10}, {"soft", 3}}),
              nlohmann::json::parse(R"({"session_min":240,"keys":1234,
                  "tiers":{"soft":3,"medium":0,"hard":10,"slam":0}})"));
    EXPECT_EQ(UsagePinger::sessionExtra(119999ms, 0, {})["session_min"], 1);
    EXPECT_EQ(UsagePinger::sessionExtra(-5min, 0, {})["session_min"], 0);
    EXPECT_EQ(UsagePinger::isoTimestamp(std::chrono::system_clock::time_point(951868799s) + 999ms),
              "2000-02-29T23:59:59Z");
}

TEST(CoordinatorPings, LaunchCountRisesWhileTheIdentifierStaysAndOnlyANewPackIsAChange) {
    CoordinatorPinging p;
    p.launch();
    p.rig->dropCoordinator();
    auto& coordinator = p.launch();
    coordinator.switchPack("Other");
    coordinator.switchPack("Other");
    const auto launches = p.sender.events("launch");
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[1].at("launches"), 2);
    EXPECT_EQ(launches[0].at("aid"), launches[1].at("aid"));
    EXPECT_EQ(p.sender.urls().at(0), "http://ping.test/api/ping");
    EXPECT_EQ(pick(launches[0], {"launches", "v", "pack", "sensor", "ts"}),
              nlohmann::json::parse(R"({"launches":1,"v":"9.8.7","pack":"Tone","sensor":"yes",
                                        "ts":"2026-01-31T09:15:00Z"})"));
    const auto changes = p.sender.events("pack_change");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(pick(changes[0], {"old_pack", "new_pack", "pack"}),
              nlohmann::json::parse(R"({"old_pack":"Tone","new_pack":"Other","pack":"Other"})"));
    EXPECT_EQ(decodeSettings(readFile(ToccaSettings::fileURL())).value().selectedPackName, "Other");
}

TEST(CoordinatorPings, HeartbeatFourHoursOnAndQuitReportTheSessionTotals) {
    CoordinatorPinging p;
    auto& coordinator = p.launch();
    p.rig->run(300ms, 1.0f);
    for (int i = 0; i < 3; ++i) {
        p.rig->keyDown(0);
        p.rig->run(40ms, 1.0f);
    }
    coordinator.stop(); // without the 0.1 s and 0.05 s timers four hours pass quickly
    EXPECT_TRUE(p.sender.events("heartbeat").empty());
    p.rig->scheduler.runUntil(p.rig->launchTicks() + 14400ull * 1'000'000'000ull);
    const auto heartbeats = p.sender.events("heartbeat");
    ASSERT_EQ(heartbeats.size(), 1u);
    EXPECT_EQ(pick(heartbeats[0], {"session_min", "keys"}),
              nlohmann::json::parse(R"({"session_min":240,"keys":3})"));
    std::int64_t total = 0;
    for (const auto& [tier, count] : heartbeats[0].at("tiers").items()) {
        total += count.get<std::int64_t>();
    }
    EXPECT_EQ(total, 3);
    EXPECT_TRUE(p.sender.events("quit").empty());
    p.rig->scheduler.advanceBy(30min);
    p.termination->notifyTermination();
    p.termination->notifyTermination();
    const auto quits = p.sender.events("quit");
    ASSERT_EQ(quits.size(), 1u);
    EXPECT_EQ(quits[0].at("session_min"), 270);
    EXPECT_EQ(pick(quits[0], {"keys", "tiers"}), pick(heartbeats[0], {"keys", "tiers"}));
}

TEST(CoordinatorPings, NoAddressMeansNoPingNoCountAndNoIdentifier) {
    CoordinatorPinging p("");
    auto& coordinator = p.launch();
    coordinator.switchPack("Other");
    coordinator.sendEvent("sound_toggle", {{"enabled", false}});
    EXPECT_TRUE(p.sender.urls().empty());
    EXPECT_EQ(p.defaults.integerForKey("clavio_launch_count"), 0);
    EXPECT_FALSE(p.defaults.stringForKey("clavio_anon_id"));
}
