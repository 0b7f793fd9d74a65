#include <gtest/gtest.h>

#include <chrono>

#include "engine/settings/json_defaults_store.h"
#include "engine/pipeline/usage_pinger.h"
#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "tests/platform/loopback_http_server.h"
#include "tests/support/test_support.h"

namespace clavio {
namespace {

using namespace std::chrono_literals;

const PingContext kContext{"Biscuit", true, 0.75f, false};

TEST(UsagePingOverHttp, LaunchPingsCarryEveryBaseFieldAndACountThatRises) {
    testing::ScopedXdgHome home;
    testing::LoopbackHttpServer server;
    testing::ScopedEnv url("CLAVIO_PING_URL", server.baseUrl());
    testing::ScopedEnv lang("LC_ALL", "fr_CA.UTF-8");
    platform::LinuxMachineDescription machine;
    for (int launch = 1; launch <= 2; ++launch) {
        JsonDefaultsStore defaults;
        platform::CurlHttpSender sender;
        UsagePinger pinger(defaults, sender, machine, UsagePinger::optionsFromEnvironment());
        const std::int64_t count = pinger.countLaunch();
        pinger.sendEvent("launch", {{"launches", count}}, kContext);
        ASSERT_TRUE(sender.waitUntilIdle(10s));
    }
    const auto received = server.received();
    ASSERT_EQ(received.size(), 2u);
    const auto first = nlohmann::json::parse(received[0].body);
    const auto second = nlohmann::json::parse(received[1].body);
    EXPECT_EQ(received[0].path, "/api/ping");
    EXPECT_EQ(received[0].contentType, "application/json");

    for (const char* field :
         {"aid", "event", "v", "os", "hw", "chip", "locale", "pack", "sensor", "ts"}) {
        ASSERT_TRUE(first.contains(field)) << field;
        EXPECT_TRUE(first[field].is_string()) << field;
    }
    EXPECT_TRUE(first["volume"].is_number());
    EXPECT_TRUE(first["sound_on"].is_boolean());
    EXPECT_EQ(first["event"], "launch");
    EXPECT_EQ(first["locale"], "fr_CA");
    EXPECT_EQ(first["pack"], "Biscuit");
    EXPECT_EQ(first["sensor"], "yes");
    EXPECT_EQ(first["volume"], 0.75);
    EXPECT_EQ(first["sound_on"], false);
    EXPECT_EQ(first["v"], CLAVIO_VERSION);
    EXPECT_EQ(first.size(), 13u) << first.dump();

    EXPECT_EQ(first["launches"], 1);
    EXPECT_EQ(second["launches"], 2);
    EXPECT_EQ(first["aid"].get<std::string>().size(), 36u);
    EXPECT_EQ(second["aid"], first["aid"]);
}

TEST(UsagePingOverHttp, AHangingServerNeverDelaysTheCaller) {
    testing::TempDir dir;
    testing::LoopbackHttpServer server;
    server.setHanging(true);
    JsonDefaultsStore defaults(dir / "defaults.json");
    platform::LinuxMachineDescription machine;
    platform::CurlHttpSender sender({.timeout = 5000ms, .shutdownGrace = 200ms});
    UsagePinger::Options options;
    options.baseUrl = server.baseUrl();
    UsagePinger pinger(defaults, sender, machine, options);

    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        pinger.sendEvent("heartbeat", UsagePinger::sessionExtra(240min, 5, {}), kContext);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_TRUE(server.waitForRequests(1, 10s));
}

TEST(UsagePingOverHttp, NoConfiguredAddressMeansNothingReachesTheSender) {
    testing::TempDir dir;
    testing::ScopedEnv url("CLAVIO_PING_URL", std::nullopt);
    JsonDefaultsStore defaults(dir / "defaults.json");
    platform::LinuxMachineDescription machine;
    platform::CurlHttpSender sender;
    UsagePinger pinger(defaults, sender, machine, UsagePinger::optionsFromEnvironment());
    pinger.sendEvent("launch", {{"launches", pinger.countLaunch()}}, kContext);
    pinger.sendEvent("quit", UsagePinger::sessionExtra(1min, 0, {}), kContext);
    ASSERT_TRUE(sender.waitUntilIdle(5s));
    EXPECT_EQ(sender.finishedCount() + sender.droppedCount(), 0u);
    EXPECT_EQ(defaults.integerForKey("clavio_launch_count"), 1) << "launches count regardless";
}

} // namespace
} // namespace clavio
