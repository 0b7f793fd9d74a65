// A loopback HTTP server (cpp-httplib) that records every POST it receives,
// and can be told to hang before answering, as a stuck ping service would.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace clavio::testing {

class LoopbackHttpServer {
public:
    struct Request {
        std::string path;
        std::string contentType;
        std::string body;
    };

    LoopbackHttpServer() {
        _server.set_keep_alive_max_count(1); // one request per connection: stop() never waits
        _server.Post(R"(/.*)", [this](const httplib::Request& request, httplib::Response& reply) {
            {
                std::unique_lock lock(_mutex);
                _received.push_back(
                    {request.path, request.get_header_value("Content-Type"), request.body});
                ++_entered;
                _changed.notify_all();
                // A hanging answer waits for release (bounded, so a failing test ends).
                _changed.wait_for(lock, std::chrono::seconds(20), [this] { return !_hang; });
            }
            reply.set_content("{}", "application/json");
        });
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

    // Waits until `count` requests have arrived (hanging ones included).
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(_mutex);
        return _changed.wait_for(lock, timeout, [&] { return _entered >= count; });
    }

    std::vector<Request> received() const {
        std::lock_guard lock(_mutex);
        return _received;
    }

private:
    httplib::Server _server;
    int _port = 0;
    std::thread _thread;
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Request> _received;
    std::size_t _entered = 0;
    bool _hang = false;
};

} // namespace clavio::testing
