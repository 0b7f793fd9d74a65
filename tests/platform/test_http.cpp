// libcurl posting pings and fetching feeds, against a loopback server.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/net/http_fetch.h"
#include "tests/support/loopback_http_server.h"

using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
std::size_t threadCount() {
    return std::size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                     std::filesystem::directory_iterator()));
}
} // namespace

TEST(CurlHttpSender, PostsJsonDropsTheOldestWaitingRequestWhenFullAndBadAddressesEndQuietly) {
    LoopbackHttpServer server;
    server.setHanging(true);
    // The server starts its worker threads as it begins to listen: counted
    // once their number has held for 100 ms.
    std::size_t threads = threadCount();
    for (int held = 0, tries = 0; held < 5 && tries < 200; ++tries) {
        std::this_thread::sleep_for(20ms);
        const std::size_t now = threadCount();
        held = now == threads ? held + 1 : 0;
        threads = now;
    }
    CurlHttpSender sender(
        {.timeout = 5000ms, .queueCapacity = 2, .maxInFlight = 1, .shutdownGrace = 1000ms});
    EXPECT_EQ(threadCount(), threads); // nothing sent yet: no thread, no library
    sender.post(server.baseUrl() + "/api/ping", R"({"event":"A"})");
    ASSERT_TRUE(server.waitForRequests(1, 10s)); // A is in flight; the rest must wait
    for (const char* body : {"B", "C", "D"}) {
        sender.post(server.baseUrl() + "/api/ping", body);
    }
    EXPECT_EQ(sender.droppedCount(), 1u);
    server.setHanging(false);
    ASSERT_TRUE(sender.waitUntilIdle(10s));
    std::vector<std::string> bodies;
    for (const auto& r : server.received()) {
        EXPECT_EQ(std::tie(r.path, r.contentType), std::tuple("/api/ping", "application/json"));
        bodies.push_back(r.body);
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{R"({"event":"A"})", "C", "D"}));
    for (const char* url : {"http://127.0.0.1:9/api/ping", "file:///etc/hostname", "not a url"}) {
        sender.post(url, "{}");
        EXPECT_TRUE(sender.waitUntilIdle(10s)) << url;
    }
    EXPECT_EQ(sender.finishedCount(), 6u);
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

TEST(HttpFetch, BodiesRedirectsErrorsLimitsAndTimeouts) {
    LoopbackHttpServer s([&s](httplib::Server& server) {
        server.Get("/feed", [](const auto&, auto& res) { res.set_content("<rss/>", "text/xml"); });
        server.Get("/moved", [](const auto&, auto& res) { res.set_redirect("/feed"); });
        server.Get("/big", [](const auto&, auto& res) {
            res.set_content(std::string(64 * 1024, 'x'), "text/plain");
        });
        server.Get("/slow", [&s](const auto&, auto& res) {
            s.hold();
            res.set_content("late", "text/plain");
        });
    });
    for (const char* path : {"/feed", "/moved"}) {
        const auto r = fetchUrl(s.baseUrl() + path);
        EXPECT_EQ(std::tie(r.ok, r.httpStatus, r.body), std::tuple(true, 200, "<rss/>")) << r.error;
    }
    const std::tuple<std::string, FetchOptions, std::string> failures[] = {
        {s.baseUrl() + "/missing", {}, "404"},
        {s.baseUrl() + "/big", {.maxBytes = 1024}, "larger than 1 KiB"},
        {"file:///etc/passwd", {}, "Not an http or https address"},
        {"ftp://127.0.0.1/x", {}, "Not an http or https address"},
        {"", {}, "Not an http or https address"},
        {"http://127.0.0.1:9/feed", {.timeout = 5s}, "Could not reach"},
    };
    for (const auto& [url, options, error] : failures) {
        const auto r = fetchUrl(url, options);
        EXPECT_FALSE(r.ok) << url;
        EXPECT_TRUE(r.body.empty()) << url;
        EXPECT_NE(r.error.find(error), std::string::npos) << r.error;
    }
    // A page that hangs: the time-out ends the fetch early.
    s.setHanging(true);
    const auto begin = Clock::now();
    const auto r = fetchUrl(s.baseUrl() + "/slow", {.timeout = 300ms});
    EXPECT_NE(r.error.find("within 300 ms"), std::string::npos) << r.error;
    EXPECT_LT(Clock::now() - begin, 2s);
    EXPECT_EQ(s.received().size(), 6u) << "GETs are recorded too";
}
