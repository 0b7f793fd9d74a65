// The HttpSender on libcurl: one background thread ("com.nomari.clavio.http")
// drives a curl multi handle, so several requests may be in flight at once
// while post() only appends to a queue and wakes the thread. The library is
// loaded and the thread started by the first post(): a process that sends
// nothing has neither.
//
// Full-queue policy: when the waiting queue is full, the OLDEST waiting
// request is dropped. The queue only fills while the server hangs; the
// newest pings carry the running session totals, which supersede what an
// older heartbeat said, and the quit ping comes last.
//
// Shutdown: the destructor refuses new requests, gives the queued and
// in-flight ones up to `shutdownGrace` (never more than the request time-out)
// to finish, so a quit ping posted just before exit still goes out, then
// aborts whatever is left. A hung server delays the exit by the grace at most.
//
// Threading: post() from any non-real-time thread; it takes the queue's lock
// for an append and never waits for the network. Construct and destroy on
// one thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "engine/ports/http_sender.h"

namespace clavio::platform {

struct CurlLibrary;

class CurlHttpSender final : public HttpSender {
public:
    struct Options {
        std::chrono::milliseconds timeout{5000};
        std::size_t queueCapacity = 32;
        std::size_t maxInFlight = 4;
        std::chrono::milliseconds shutdownGrace{2000};
    };

    CurlHttpSender();
    explicit CurlHttpSender(Options options);
    ~CurlHttpSender() override;
    CurlHttpSender(const CurlHttpSender&) = delete;
    CurlHttpSender& operator=(const CurlHttpSender&) = delete;

    void post(std::string url, std::string jsonBody) override;

    // Any thread. Waits until nothing is queued or in flight, or the timeout
    // passes (then false).
    bool waitUntilIdle(std::chrono::nanoseconds timeout);
    // Requests dropped because the queue was full or the sender was stopping.
    std::uint64_t droppedCount() const;
    // Requests that ended (answered, failed or timed out).
    std::uint64_t finishedCount() const;

private:
    struct Request {
        std::string url;
        std::string body;
    };

    void start();
    void run();

    const Options _options;
    std::once_flag _started;
    const CurlLibrary* _curl = nullptr;
    void* _multi = nullptr;   // CURLM*, kept out of the header
    void* _headers = nullptr; // curl_slist*
    mutable std::mutex _mutex;
    std::condition_variable _idle;
    std::deque<Request> _queue;
    std::size_t _inFlight = 0;
    bool _stopping = false;
    std::uint64_t _dropped = 0;
    std::uint64_t _finished = 0;
    std::thread _thread;
};

} // namespace clavio::platform
