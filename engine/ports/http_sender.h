// Fire-and-forget HTTP: the usage pings. Nothing waits for a request, reads
// its answer or retries it.
//
// Threading: post() is callable from any non-real-time thread and returns at
// once; the network work happens on the implementation's own thread.
// Implementation: platform CurlHttpSender.
#pragma once

#include <string>

namespace clavio {

class HttpSender {
public:
    virtual ~HttpSender() = default;

    // Any thread. Queues a POST of `jsonBody` to `url` with the header
    // "Content-Type: application/json"; returns without waiting. Failures
    // (no network, time-out, error status) are dropped silently.
    virtual void post(std::string url, std::string jsonBody) = 0;
};

} // namespace clavio
