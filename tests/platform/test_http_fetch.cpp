#include <gtest/gtest.h>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/linux/net/http_fetch.h"

using namespace std::chrono_literals;
using clavio::platform::FetchOptions;
using clavio::platform::fetchUrl;

namespace {

// A loopback server on a free port, stopped and joined on destruction.
class LoopbackServer {
public:
    httplib::Server server;

    void start() {
        _port = server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(_port, 0);
        _thread = std::thread([this] { server.listen_after_bind(); });
        for (int i = 0; i < 500 && !server.is_running(); ++i) {
            std::this_thread::sleep_for(2ms);
        }
        ASSERT_TRUE(server.is_running());
    }
    ~LoopbackServer() {
        release.store(true);
        server.stop();
        if (_thread.joinable()) {
            _thread.join();
        }
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(_port) + path;
    }

    // For handlers that hold the answer back until the test lets go.
    std::atomic<bool> release{false};
    void holdUntilReleased() const {
        for (int i = 0; i < 1000 && !release.load(); ++i) {
            std::this_thread::sleep_for(5ms);
        }
    }

private:
    int _port = 0;
    std::thread _thread;
};

// A loopback port nobody listens on: bound, read back and closed again.
int unusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

} // namespace

TEST(HttpFetch, ReturnsTheBodyAndFollowsRedirects) {
    LoopbackServer s;
    s.server.Get("/feed", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<rss/>", "application/xml");
    });
    s.server.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/feed");
    });
    s.start();
    auto r = fetchUrl(s.url("/feed"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.httpStatus, 200);
    EXPECT_EQ(r.body, "<rss/>");
    r = fetchUrl(s.url("/moved"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "<rss/>");
}

TEST(HttpFetch, ErrorStatusOversizedBodyAndOtherSchemesFail) {
    LoopbackServer s;
    s.server.Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(64 * 1024, 'x'), "text/plain");
    });
    s.start();

    auto r = fetchUrl(s.url("/missing"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.httpStatus, 404);
    EXPECT_NE(r.error.find("404"), std::string::npos) << r.error;
    EXPECT_TRUE(r.body.empty());

    FetchOptions small;
    small.maxBytes = 1024;
    r = fetchUrl(s.url("/big"), small);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("larger than 1 KiB"), std::string::npos) << r.error;
    EXPECT_TRUE(r.body.empty());

    for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "", "not a url"}) {
        r = fetchUrl(url);
        EXPECT_FALSE(r.ok) << url;
        EXPECT_NE(r.error.find("Not an http or https address"), std::string::npos) << r.error;
        EXPECT_TRUE(r.body.empty());
    }
}

TEST(HttpFetch, UnreachableAndSilentServersFailWithinTheTimeout) {
    // A port that was just free: connection refused at once.
    FetchOptions bounded;
    bounded.timeout = 5s;
    auto r = fetchUrl("http://127.0.0.1:" + std::to_string(unusedPort()) + "/feed", bounded);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("Could not reach"), std::string::npos) << r.error;

    LoopbackServer s;
    s.server.Get("/slow", [&s](const httplib::Request&, httplib::Response& res) {
        s.holdUntilReleased();
        res.set_content("late", "text/plain");
    });
    s.start();
    FetchOptions quick;
    quick.timeout = 300ms;
    const auto begin = std::chrono::steady_clock::now();
    r = fetchUrl(s.url("/slow"), quick);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("within 300 ms"), std::string::npos) << r.error;
    EXPECT_LT(took, 2s);
}

TEST(HttpFetch, CancelFromAnotherThreadEndsTheTransfer) {
    LoopbackServer s;
    s.server.Get("/slow", [&s](const httplib::Request&, httplib::Response& res) {
        s.holdUntilReleased();
        res.set_content("late", "text/plain");
    });
    s.start();
    std::atomic<bool> cancel{false};
    FetchOptions options;
    options.cancel = &cancel;
    options.timeout = 30s;
    std::thread canceller([&] {
        std::this_thread::sleep_for(100ms);
        cancel.store(true, std::memory_order_release);
    });
    const auto begin = std::chrono::steady_clock::now();
    auto r = fetchUrl(s.url("/slow"), options);
    const auto took = std::chrono::steady_clock::now() - begin;
    canceller.join();
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("cancelled"), std::string::npos) << r.error;
    EXPECT_LT(took, 3s);
}
