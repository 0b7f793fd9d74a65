#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "engine/settings/json_defaults_store.h"
#include "engine/pipeline/usage_pinger.h"
#include "tests/support/test_support.h"

namespace clavio {
namespace {

using namespace std::chrono_literals;

// Keeps what would have gone over the network, for inspection.
class RecordingSender final : public HttpSender {
public:
    void post(std::string url, std::string body) override {
        posts.push_back({std::move(url), std::move(body)});
    }
    std::vector<std::pair<std::string, std::string>> posts;
};

class FixedMachine final : public MachineDescription {
public:
    std::string hw = "ThinkPad X1 Carbon Gen 11";
    std::string cpu = "13th Gen Intel(R) Core(TM) i7-1365U";
    std::string hardwareModel() const override { return hw; }
    std::string processorName() const override { return cpu; }
    std::string osVersion() const override { return "Debian GNU/Linux 12 (bookworm)"; }
    std::string localeIdentifier() const override { return "de_CH"; }
};

UsagePinger::Options options(std::optional<std::string> base, std::string version = "1.4.2") {
    UsagePinger::Options o;
    o.baseUrl = std::move(base);
    o.appVersion = std::move(version);
    o.wallClock = [] { return std::chrono::system_clock::time_point(1769850900s); };
    return o;
}

const PingContext kContext{"Biscuit", true, 0.8f, true};

TEST(UsagePinger, BodyHoldsEveryBaseFieldAndExtrasReplaceThem) {
    testing::TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    RecordingSender sender;
    FixedMachine machine;
    UsagePinger pinger(defaults, sender, machine, options("http://ping.example:8080/"));
    pinger.sendEvent("pack_change", {{"old_pack", "Biscuit"}, {"new_pack", "Ink"}, {"pack", "Ink"}},
                     kContext);
    ASSERT_EQ(sender.posts.size(), 1u);
    EXPECT_EQ(sender.posts[0].first, "http://ping.example:8080/api/ping");
    const auto body = nlohmann::json::parse(sender.posts[0].second);
    const auto aid = defaults.stringForKey("clavio_anon_id");
    ASSERT_TRUE(aid);
    const nlohmann::json expected = {{"aid", *aid},
                                     {"event", "pack_change"},
                                     {"v", "1.4.2"},
                                     {"os", "Debian GNU/Linux 12 (bookworm)"},
                                     {"hw", "ThinkPad X1 Carbon Gen 11"},
                                     {"chip", "13th Gen Intel(R) Core(TM) i7-1365U"},
                                     {"locale", "de_CH"},
                                     {"pack", "Ink"},
                                     {"sensor", "yes"},
                                     {"volume", 0.8},
                                     {"sound_on", true},
                                     {"ts", "2026-01-31T09:15:00Z"},
                                     {"old_pack", "Biscuit"},
                                     {"new_pack", "Ink"}};
    EXPECT_EQ(body, expected);
    EXPECT_TRUE(std::regex_search(sender.posts[0].second, std::regex(R"("volume":0\.8[,}])")))
        << "the 32-bit volume should be sent as its shortest decimal";
}

TEST(UsagePinger, MissingMachineValuesAndVersionUseTheirFallbacks) {
    testing::TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    RecordingSender sender;
    FixedMachine machine;
    machine.hw = "";
    machine.cpu = "";
    UsagePinger pinger(defaults, sender, machine, options("https://p.example", ""));
    EXPECT_EQ(pinger.hwModel(), "");
    EXPECT_EQ(pinger.chipModel(), "unknown");
    const auto body = pinger.makeBody("launch", {{"launches", 1}}, {"", false, 1.0f, false});
    EXPECT_EQ(body["v"], "?");
    EXPECT_EQ(body["hw"], "");
    EXPECT_EQ(body["chip"], "unknown");
    EXPECT_EQ(body["sensor"], "no");
    EXPECT_EQ(body["launches"], 1);
}

TEST(UsagePinger, IdentifierIsAnUpperCaseUuidCreatedOnceAndLaunchesCount) {
    testing::TempDir dir;
    RecordingSender sender;
    FixedMachine machine;
    std::string first;
    {
        JsonDefaultsStore defaults(dir / "defaults.json");
        UsagePinger pinger(defaults, sender, machine, options("http://h"));
        EXPECT_EQ(pinger.countLaunch(), 1);
        first = pinger.anonID();
        EXPECT_EQ(pinger.anonID(), first);
    }
    EXPECT_TRUE(std::regex_match(
        first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << first;
    JsonDefaultsStore defaults(dir / "defaults.json");
    UsagePinger pinger(defaults, sender, machine, options("http://h"));
    EXPECT_EQ(pinger.countLaunch(), 2);
    EXPECT_EQ(pinger.anonID(), first);
    EXPECT_NE(UsagePinger::makeUUID(), UsagePinger::makeUUID());

    defaults.setString("clavio_anon_id", "");
    const std::string replaced = pinger.anonID();
    EXPECT_EQ(replaced.size(), 36u) << "an empty stored identifier must be replaced";
}

TEST(UsagePinger, WithoutAValidAddressNothingIsSentAndNoIdentifierIsMade) {
    testing::TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    RecordingSender sender;
    FixedMachine machine;
    {
        testing::ScopedEnv unset("CLAVIO_PING_URL", std::nullopt);
        UsagePinger pinger(defaults, sender, machine, UsagePinger::optionsFromEnvironment());
        pinger.sendEvent("launch", {{"launches", 1}}, kContext);
    }
    testing::LogCapture log;
    {
        testing::ScopedEnv bad("CLAVIO_PING_URL", "ftp://files.example");
        UsagePinger pinger(defaults, sender, machine, UsagePinger::optionsFromEnvironment());
        pinger.sendEvent("launch", {{"launches", 1}}, kContext);
    }
    EXPECT_TRUE(sender.posts.empty());
    EXPECT_EQ(defaults.stringForKey("clavio_anon_id"), std::nullopt);
    EXPECT_EQ(log.count("is not an http(s) address; usage pings are off"), 1u);

    testing::ScopedEnv good("CLAVIO_PING_URL", "http://127.0.0.1:9");
    UsagePinger pinger(defaults, sender, machine, UsagePinger::optionsFromEnvironment());
    pinger.sendEvent("launch", {{"launches", 1}}, kContext);
    ASSERT_EQ(sender.posts.size(), 1u);
    EXPECT_EQ(sender.posts[0].first, "http://127.0.0.1:9/api/ping");
}

TEST(UsagePinger, EndpointIsBuiltOnlyFromWebAddresses) {
    EXPECT_EQ(UsagePinger::endpointFor("http://a.example"), "http://a.example/api/ping");
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
    const auto fourHours = UsagePinger::sessionExtra(14400s, 1234, {{"hard", 10}, {"soft", 3}});
    EXPECT_EQ(fourHours, nlohmann::json::parse(R"({"session_min":240,"keys":1234,
        "tiers":{"soft":3,"medium":0,"hard":10,"slam":0}})"));
    EXPECT_EQ(UsagePinger::sessionExtra(119999ms, 0, {})["session_min"], 1);
    EXPECT_EQ(UsagePinger::sessionExtra(-5min, 0, {})["session_min"], 0);
    EXPECT_EQ(UsagePinger::isoTimestamp(std::chrono::system_clock::time_point(951868799s) + 999ms),
              "2000-02-29T23:59:59Z");
}

} // namespace
} // namespace clavio
