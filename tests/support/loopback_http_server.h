// A loopback HTTP server recording every request, told to hang as a stuck service
// would. POSTs answer "{}"; `routes` adds more, whose handlers call hold() to hang.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace clavio::testing {

class LoopbackHttpServer {
public:
    struct Request {
        std::string path, contentType, body;
    };

    explicit LoopbackHttpServer(const std::function<void(httplib::Server&)>& routes = {}) {
        _server.set_keep_alive_max_count(1); // one request a connection: stop() never waits
        // Requests other than POSTs are recorded before their route runs.
        _server.set_pre_routing_handler(
            [this](const httplib::Request& request, httplib::Response&) {
                if (request.method != "POST") {
                    record({request.path, "", ""});
                }
                return httplib::Server::HandlerResponse::Unhandled;
            });
        _server.Post(R"(/.*)", [this](const httplib::Request& request, httplib::Response& reply) {
            record({request.path, request.get_header_value("Content-Type"), request.body});
            hold();
            reply.set_content("{}", "application/json");
        });
        if (routes) {
            routes(_server);
        }
        _port = _server.bind_to_any_port("127.0.0.1");
        if (_port <= 0) {
            throw std::runtime_error("cannot bind a loopback port");
        }
        _thread = std::thread([this] { _server.listen_after_bind(); });
        for (int i = 0; i < 2000 && !_server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    ~LoopbackHttpServer() {
        setHanging(false);
        _server.stop();
        _thread.join();
    }

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(_port); }

    void setHanging(bool hang) {
        std::lock_guard lock(_mutex);
        _hang = hang;
        _changed.notify_all();
    }

    // For handlers: waits while the server hangs (bounded, so a failing test ends).
    void hold() {
        std::unique_lock lock(_mutex);
        _changed.wait_for(lock, std::chrono::seconds(20), [this] { return !_hang; });
    }

    // Waits until `count` requests have arrived (hanging ones included).
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(_mutex);
        return _changed.wait_for(lock, timeout, [&] { return _received.size() >= count; });
    }

    std::vector<Request> received() const {
        std::lock_guard lock(_mutex);
        return _received;
    }

private:
    void record(Request request) {
        std::lock_guard lock(_mutex);
        _received.push_back(std::move(request));
        _changed.notify_all();
    }

    httplib::Server _server;
    int _port = 0;
    std::thread _thread;
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Request> _received;
    bool _hang = false;
};

} // namespace clavio::testing
