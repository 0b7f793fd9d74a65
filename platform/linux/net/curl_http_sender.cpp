#include "platform/linux/net/curl_http_sender.h"

#include "platform/linux/net/curl_library.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/core/log.h"
#include "engine/runtime/thread_naming.h"

namespace clavio::platform {

namespace {

std::size_t discardBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

CURL* makeTransfer(const CurlLibrary& curl, const std::string& url, const std::string& body,
                   curl_slist* headers, long timeoutMs) {
    CURL* easy = curl.easy_init();
    if (!easy) {
        return nullptr;
    }
    curl.easy_setopt(easy, CURLOPT_URL, url.c_str());
    // Only web addresses: the base address comes from the environment.
    curl.easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl.easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl.easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl.easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl.easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl.easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discardBody);
    return easy;
}

} // namespace

CurlHttpSender::CurlHttpSender() : CurlHttpSender(Options{}) {}

CurlHttpSender::CurlHttpSender(Options options)
    : _options([&] {
          options.queueCapacity = std::max<std::size_t>(options.queueCapacity, 1);
          options.maxInFlight = std::max<std::size_t>(options.maxInFlight, 1);
          options.timeout = std::max(options.timeout, std::chrono::milliseconds(1));
          options.shutdownGrace =
              std::clamp(options.shutdownGrace, std::chrono::milliseconds(0), options.timeout);
          return options;
      }()) {}

void CurlHttpSender::start() {
    _curl = curlLibrary();
    if (!_curl || !(_multi = _curl->multi_init())) {
        logLine("[Clavio] HTTP client unavailable; usage pings are off");
        return;
    }
    curl_slist* headers = _curl->slist_append(nullptr, "Content-Type: application/json");
    // Small bodies need no "Expect: 100-continue" round trip.
    headers = headers ? _curl->slist_append(headers, "Expect:") : nullptr;
    if (!headers) {
        _curl->multi_cleanup(static_cast<CURLM*>(_multi));
        _multi = nullptr;
        logLine("[Clavio] HTTP client unavailable; usage pings are off");
        return;
    }
    _headers = headers;
    _thread = std::thread([this] { run(); });
}

CurlHttpSender::~CurlHttpSender() {
    if (!_thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(_mutex);
        _stopping = true;
    }
    _curl->multi_wakeup(static_cast<CURLM*>(_multi));
    _thread.join();
    _curl->multi_cleanup(static_cast<CURLM*>(_multi));
    _curl->slist_free_all(static_cast<curl_slist*>(_headers));
}

void CurlHttpSender::post(std::string url, std::string jsonBody) {
    std::call_once(_started, [this] { start(); });
    {
        std::lock_guard lock(_mutex);
        if (!_multi || _stopping) {
            ++_dropped;
            return;
        }
        if (_queue.size() >= _options.queueCapacity) {
            _queue.pop_front();
            ++_dropped;
        }
        _queue.push_back(Request{std::move(url), std::move(jsonBody)});
    }
    _curl->multi_wakeup(static_cast<CURLM*>(_multi));
}

bool CurlHttpSender::waitUntilIdle(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(_mutex);
    return _idle.wait_for(lock, timeout, [this] { return _queue.empty() && _inFlight == 0; });
}

std::uint64_t CurlHttpSender::droppedCount() const {
    std::lock_guard lock(_mutex);
    return _dropped;
}

std::uint64_t CurlHttpSender::finishedCount() const {
    std::lock_guard lock(_mutex);
    return _finished;
}

void CurlHttpSender::run() {
    nameCurrentThread("com.nomari.clavio.http");
    auto* multi = static_cast<CURLM*>(_multi);
    auto* headers = static_cast<curl_slist*>(_headers);
    const long timeoutMs = static_cast<long>(_options.timeout.count());
    std::vector<CURL*> transfers;
    std::optional<std::chrono::steady_clock::time_point> giveUpAt;

    auto finish = [&](CURL* easy) {
        _curl->multi_remove_handle(multi, easy);
        _curl->easy_cleanup(easy);
        transfers.erase(std::remove(transfers.begin(), transfers.end(), easy), transfers.end());
    };

    for (;;) {
        std::vector<Request> starting;
        {
            std::lock_guard lock(_mutex);
            if (_stopping && !giveUpAt) {
                giveUpAt = std::chrono::steady_clock::now() + _options.shutdownGrace;
            }
            while (transfers.size() + starting.size() < _options.maxInFlight && !_queue.empty()) {
                starting.push_back(std::move(_queue.front()));
                _queue.pop_front();
            }
            _inFlight = transfers.size() + starting.size();
        }
        std::size_t failedToStart = 0;
        for (const Request& request : starting) {
            CURL* easy = makeTransfer(*_curl, request.url, request.body, headers, timeoutMs);
            if (easy && _curl->multi_add_handle(multi, easy) == CURLM_OK) {
                transfers.push_back(easy);
            } else {
                if (easy) {
                    _curl->easy_cleanup(easy);
                }
                ++failedToStart;
            }
        }

        int running = 0;
        _curl->multi_perform(multi, &running);
        std::size_t ended = failedToStart;
        int queued = 0;
        while (CURLMsg* message = _curl->multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                finish(message->easy_handle);
                ++ended;
            }
        }

        bool done = false;
        bool startMore = false;
        {
            std::lock_guard lock(_mutex);
            _finished += ended;
            _inFlight = transfers.size();
            const bool idle = _queue.empty() && transfers.empty();
            if (idle) {
                _idle.notify_all();
            }
            done = giveUpAt && (idle || std::chrono::steady_clock::now() >= *giveUpAt);
            startMore = !_queue.empty() && transfers.size() < _options.maxInFlight;
        }
        if (done) {
            break;
        }
        if (startMore) {
            continue; // a slot came free: start the next waiting request now
        }
        // Wakes early for network activity or a post (curl_multi_wakeup).
        int waitMs = 1000;
        if (giveUpAt) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *giveUpAt - std::chrono::steady_clock::now());
            waitMs = static_cast<int>(std::clamp<std::int64_t>(left.count() + 1, 1, 1000));
        }
        _curl->multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }

    // Whatever is left after the grace is abandoned.
    while (!transfers.empty()) {
        finish(transfers.back());
    }
    std::lock_guard lock(_mutex);
    _dropped += _queue.size();
    _queue.clear();
    _inFlight = 0;
    _idle.notify_all();
}

} // namespace clavio::platform
