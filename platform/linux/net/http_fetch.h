// Blocking HTTP(S) GET with libcurl, used by the update checker's worker
// thread to fetch the appcast feed.
//
// Threading: any non-real-time thread; every call has its own curl handle, so
// calls on different threads do not share state. `cancel`, when given, may be
// set from any other thread; the transfer then ends within about a second
// (libcurl's progress callback cadence while idle).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace clavio::platform {

struct FetchOptions {
    // Whole transfer, connection included.
    std::chrono::milliseconds timeout{20000};
    // A larger body is refused rather than buffered without bound.
    std::size_t maxBytes = std::size_t{4} << 20;
    const std::atomic<bool>* cancel = nullptr;
};

struct FetchResult {
    bool ok = false;
    long httpStatus = 0;
    std::string body;
    // One readable line naming the address and the cause when !ok.
    std::string error;
};

// Only http and https addresses are fetched (also across redirects); any
// other scheme fails without touching the network. A status of 400 or above
// is a failure.
FetchResult fetchUrl(const std::string& url, const FetchOptions& options = {});

} // namespace clavio::platform
