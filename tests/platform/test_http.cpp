// HTTP on Linux against a loopback server: libcurl posting pings (queue,
// time-outs, a hung server), fetching feeds (redirects, limits, cancel), and
// the coordinator's pings end to end with the Linux machine description and
// the built-in packs decoded by libsndfile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/settings/json_defaults_store.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/net/http_fetch.h"
#include "tests/support/coordinator_rig.h"
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

TEST(CoordinatorOverHttp, PingsArriveWithBaseFieldsAndExtrasAndLaunchesCountUp) {
    LoopbackHttpServer server;
    ScopedEnv locale("LC_ALL", "fr_CA.UTF-8");
    TempDir dir;
    JsonDefaultsStore defaults(dir / "defaults.json");
    LinuxMachineDescription machine;
    SndfileDecoder decoder;
    for (int launch = 1; launch <= 2; ++launch) {
        CurlHttpSender sender;
        RigOptions options;
        options.httpSender = &sender;
        options.defaultsStore = &defaults;
        options.machine = &machine;
        options.decoder = &decoder;
        options.pingBaseUrl = server.baseUrl();
        options.bundledPacks = CLAVIO_RESOURCE_BUILD_DIR "/SoundPacks";
        CoordinatorRig rig(options);
        SettingsValues values;
        values.selectedPackName = "Biscuit";
        values.masterVolume = 0.5f;
        auto& coordinator = rig.launch(values);
        ASSERT_FALSE(coordinator.loadedSampleMap().empty()) << "the built-in pack decodes";
        // A key sounds through the real decoder's samples.
        rig.run(300ms, 1.0f);
        rig.scheduleSample(rig.now() + 3 * kTicksPerMilli, 1.08f);
        rig.keyDown(0);
        rig.run(60ms, 1.0f);
        EXPECT_NE(rig.firstSoundingFrame(), -1);
        if (launch == 2) {
            coordinator.switchPack("Bluebell");
            coordinator.switchPack("Bluebell");
            coordinator.sendEvent("sound_toggle", {{"enabled", false}});
        }
        ASSERT_TRUE(sender.waitUntilIdle(10s));
    }
    std::vector<nlohmann::json> received;
    for (const auto& request : server.received()) {
        EXPECT_EQ(request.path, "/api/ping");
        EXPECT_EQ(request.contentType, "application/json");
        received.push_back(nlohmann::json::parse(request.body));
    }
    ASSERT_EQ(received.size(), 4u);
    const auto& first = received[0];
    for (const char* field :
         {"aid", "event", "v", "os", "hw", "chip", "locale", "pack", "sensor", "ts"}) {
        ASSERT_TRUE(first.contains(field)) << field;
        EXPECT_TRUE(first[field].is_string()) << field;
    }
    EXPECT_EQ(first["event"], "launch");
    EXPECT_EQ(first["launches"], 1);
    EXPECT_EQ(first["locale"], "fr_CA");
    EXPECT_EQ(first["pack"], "Biscuit");
    EXPECT_EQ(first["sensor"], "yes");
    EXPECT_EQ(first["volume"], 0.5);
    EXPECT_EQ(first["sound_on"], true);
    EXPECT_EQ(first["ts"], "2026-01-31T09:15:00Z");
    EXPECT_EQ(first.size(), 13u) << first.dump();
    EXPECT_EQ(first["aid"].get<std::string>().size(), 36u);
    EXPECT_EQ(received[1]["launches"], 2);
    EXPECT_EQ(received[1]["aid"], first["aid"]);
    EXPECT_EQ(received[2]["event"], "pack_change");
    EXPECT_EQ(received[2]["old_pack"], "Biscuit");
    EXPECT_EQ(received[2]["new_pack"], "Bluebell");
    EXPECT_EQ(received[3]["event"], "sound_toggle");
    EXPECT_EQ(received[3]["enabled"], false);
}
