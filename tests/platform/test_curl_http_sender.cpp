#include <gtest/gtest.h>

#include <chrono>

#include "platform/linux/net/curl_http_sender.h"
#include "tests/platform/loopback_http_server.h"

namespace clavio::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(CurlHttpSender, PostsJsonBodiesWithTheirContentType) {
    testing::LoopbackHttpServer server;
    CurlHttpSender sender;
    sender.post(server.baseUrl() + "/api/ping", R"({"event":"launch"})");
    sender.post(server.baseUrl() + "/api/ping", R"({"event":"quit"})");
    ASSERT_TRUE(server.waitForRequests(2, 10s));
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    auto received = server.received();
    ASSERT_EQ(received.size(), 2u);
    std::sort(received.begin(), received.end(),
              [](const auto& a, const auto& b) { return a.body < b.body; });
    EXPECT_EQ(received[0].path, "/api/ping");
    EXPECT_EQ(received[0].contentType, "application/json");
    EXPECT_EQ(received[0].body, R"({"event":"launch"})");
    EXPECT_EQ(received[1].body, R"({"event":"quit"})");
    EXPECT_EQ(sender.finishedCount(), 2u);
}

TEST(CurlHttpSender, HangingServerDelaysNeitherTheCallerNorShutdownBeyondTheGrace) {
    testing::LoopbackHttpServer server;
    server.setHanging(true);
    Clock::time_point before;
    Clock::duration posting{};
    {
        CurlHttpSender sender(
            {.timeout = 5000ms, .queueCapacity = 8, .maxInFlight = 2, .shutdownGrace = 300ms});
        before = Clock::now();
        for (int i = 0; i < 20; ++i) {
            sender.post(server.baseUrl() + "/api/ping", "{}");
        }
        posting = Clock::now() - before;
        ASSERT_TRUE(server.waitForRequests(2, 10s));
        before = Clock::now();
    }
    const auto shutdown = Clock::now() - before;
    EXPECT_LT(posting, 1s) << "post() waited for the network";
    EXPECT_GE(shutdown, 250ms) << "in-flight requests were not given their grace";
    EXPECT_LT(shutdown, 3s) << "shutdown waited on the hung server";
}

TEST(CurlHttpSender, AHungRequestEndsAtTheFiveSecondTimeoutAndTheNextOneGoesOut) {
    testing::LoopbackHttpServer server;
    server.setHanging(true);
    CurlHttpSender sender; // the ping settings: a 5 s time-out
    ASSERT_EQ(CurlHttpSender::Options{}.timeout, 5000ms);
    const std::string url = server.baseUrl() + "/api/ping";
    const auto posted = Clock::now();
    sender.post(url, R"({"event":"heartbeat"})");
    EXPECT_LT(Clock::now() - posted, 100ms) << "post() waited for the network";
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    const auto ended = Clock::now() - posted;
    EXPECT_EQ(sender.finishedCount(), 1u);
    EXPECT_GE(ended, 4900ms) << "the request was given up before its time-out";
    EXPECT_LT(ended, 7s) << "the request outlived its time-out";

    // The sender is not stuck: once the server answers again, pings arrive.
    server.setHanging(false);
    sender.post(url, R"({"event":"quit"})");
    ASSERT_TRUE(server.waitForRequests(2, 10s));
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    EXPECT_EQ(sender.finishedCount(), 2u);
    EXPECT_EQ(server.received().back().body, R"({"event":"quit"})");
}

TEST(CurlHttpSender, FullQueueDropsTheOldestWaitingRequest) {
    testing::LoopbackHttpServer server;
    server.setHanging(true);
    CurlHttpSender sender(
        {.timeout = 5000ms, .queueCapacity = 2, .maxInFlight = 1, .shutdownGrace = 1000ms});
    const std::string url = server.baseUrl() + "/api/ping";
    sender.post(url, "A");
    ASSERT_TRUE(server.waitForRequests(1, 10s)); // A is in flight; the rest must wait
    sender.post(url, "B");
    sender.post(url, "C");
    sender.post(url, "D");
    EXPECT_EQ(sender.droppedCount(), 1u);
    server.setHanging(false);
    ASSERT_TRUE(server.waitForRequests(3, 10s));
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    std::vector<std::string> bodies;
    for (const auto& r : server.received()) {
        bodies.push_back(r.body);
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"A", "C", "D"}));
}

TEST(CurlHttpSender, UnreachableOrNonWebAddressesEndQuietly) {
    CurlHttpSender sender({.timeout = 2000ms});
    sender.post("http://127.0.0.1:9/api/ping", "{}"); // discard port: refused
    sender.post("file:///etc/hostname", "{}");
    sender.post("not a url", "{}");
    EXPECT_TRUE(sender.waitUntilIdle(10s));
    EXPECT_EQ(sender.finishedCount(), 3u);
}

} // namespace
} // namespace clavio::platform
