// HTTP on Linux against a loopback server: libcurl posting pings (queue,
// time-outs, a hung server) and fetching feeds (redirects, limits, cancel).
// The coordinator's pings end to end are in test_privacy.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/net/http_fetch.h"
#include "tests/support/test_support.h"
#include "tests/support/loopback_http_server.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> bodies(const LoopbackHttpServer& server) {
    std::vector<std::string> out;
    for (const auto& r : server.received()) {
        out.push_back(r.body);
    }
    return out;
}

} // namespace

TEST(CurlHttpSender, PostsJsonAndDropsTheOldestWaitingRequestWhenFull) {
    LoopbackHttpServer server;
    server.setHanging(true);
    CurlHttpSender sender(
        {.timeout = 5000ms, .queueCapacity = 2, .maxInFlight = 1, .shutdownGrace = 1000ms});
    sender.post(server.url("/api/ping"), R"({"event":"A"})");
    ASSERT_TRUE(server.waitForRequests(1, 10s)); // A is in flight; the rest must wait
    for (const char* body : {"B", "C", "D"}) {
        sender.post(server.url("/api/ping"), body);
    }
    EXPECT_EQ(sender.droppedCount(), 1u);
    server.setHanging(false);
    ASSERT_TRUE(server.waitForRequests(3, 10s));
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    EXPECT_EQ(bodies(server), (std::vector<std::string>{R"({"event":"A"})", "C", "D"}));
    EXPECT_EQ(server.received()[0].path, "/api/ping");
    EXPECT_EQ(server.received()[0].contentType, "application/json");
    EXPECT_EQ(sender.finishedCount(), 3u);
}

TEST(CurlHttpSender, HangingServerDelaysNeitherTheCallerNorShutdownBeyondTheGrace) {
    LoopbackHttpServer server;
    server.setHanging(true);
    Clock::time_point before;
    Clock::duration posting{};
    {
        CurlHttpSender sender(
            {.timeout = 5000ms, .queueCapacity = 8, .maxInFlight = 2, .shutdownGrace = 300ms});
        before = Clock::now();
        for (int i = 0; i < 20; ++i) {
            sender.post(server.url("/api/ping"), "{}");
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
    LoopbackHttpServer server;
    server.setHanging(true);
    CurlHttpSender sender; // the ping settings: a 5 s time-out
    const auto posted = Clock::now();
    sender.post(server.url("/api/ping"), "hung");
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    const auto ended = Clock::now() - posted;
    EXPECT_GE(ended, 4900ms) << "the request was given up before its time-out";
    EXPECT_LT(ended, 7s) << "the request outlived its time-out";
    server.setHanging(false);
    sender.post(server.url("/api/ping"), "next");
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    EXPECT_EQ(sender.finishedCount(), 2u);
    EXPECT_EQ(bodies(server).back(), "next");

    // Unreachable or non-web addresses end quietly too.
    sender.post("http://127.0.0.1:9/api/ping", "{}"); // discard port: refused
    sender.post("file:///etc/hostname", "{}");
    sender.post("not a url", "{}");
    EXPECT_TRUE(sender.waitUntilIdle(10s));
    EXPECT_EQ(sender.finishedCount(), 5u);
}

TEST(HttpFetch, BodiesRedirectsErrorsLimitsTimeoutsAndCancel) {
    LoopbackHttpServer s([](httplib::Server& server) {
        server.Get("/feed", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<rss/>", "application/xml");
        });
        server.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("/feed");
        });
        server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(64 * 1024, 'x'), "text/plain");
        });
    });
    for (const char* path : {"/feed", "/moved"}) {
        const auto r = fetchUrl(s.url(path));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.httpStatus, 200);
        EXPECT_EQ(r.body, "<rss/>");
    }
    auto r = fetchUrl(s.url("/missing"));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("404"), std::string::npos) << r.error;
    EXPECT_TRUE(r.body.empty());
    r = fetchUrl(s.url("/big"), {.maxBytes = 1024});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("larger than 1 KiB"), std::string::npos) << r.error;
    EXPECT_TRUE(r.body.empty());
    for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "", "not a url"}) {
        r = fetchUrl(url);
        EXPECT_NE(r.error.find("Not an http or https address"), std::string::npos) << url;
    }
    r = fetchUrl("http://127.0.0.1:9/feed", {.timeout = 5s});
    EXPECT_NE(r.error.find("Could not reach"), std::string::npos) << r.error;

    // A page that hangs: a time-out, and a cancel from another thread, end the fetch early.
    LoopbackHttpServer slow([&slow](httplib::Server& server) {
        server.Get("/slow", [&slow](const httplib::Request&, httplib::Response& res) {
            slow.hold();
            res.set_content("late", "text/plain");
        });
    });
    slow.setHanging(true);
    auto begin = Clock::now();
    r = fetchUrl(slow.url("/slow"), {.timeout = 300ms});
    EXPECT_NE(r.error.find("within 300 ms"), std::string::npos) << r.error;
    EXPECT_LT(Clock::now() - begin, 2s);
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        cancel = true;
    });
    begin = Clock::now();
    r = fetchUrl(slow.url("/slow"), {.timeout = 30s, .cancel = &cancel});
    canceller.join();
    EXPECT_NE(r.error.find("cancelled"), std::string::npos) << r.error;
    EXPECT_LT(Clock::now() - begin, 3s);
    EXPECT_EQ(slow.received().size(), 2u) << "GETs are recorded too";
}
