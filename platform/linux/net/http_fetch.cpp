#include "platform/linux/net/http_fetch.h"

#include "platform/linux/net/curl_library.h"

#include <cctype>
#include <memory>

namespace clavio::platform {

namespace {

struct Transfer {
    std::string body;
    std::size_t maxBytes = 0;
    bool tooLarge = false;
    const std::atomic<bool>* cancel = nullptr;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->body.size() + bytes > transfer->maxBytes) {
        transfer->tooLarge = true;
        return 0; // makes curl stop with CURLE_WRITE_ERROR
    }
    transfer->body.append(data, bytes);
    return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* transfer = static_cast<const Transfer*>(user);
    return transfer->cancel && transfer->cancel->load(std::memory_order_acquire) ? 1 : 0;
}

bool hasWebScheme(const std::string& url) {
    auto startsWith = [&](const char* prefix) {
        const std::string p(prefix);
        if (url.size() < p.size()) {
            return false;
        }
        for (size_t i = 0; i < p.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(url[i])) != p[i]) {
                return false;
            }
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

struct CurlDeleter {
    const CurlLibrary* lib;
    void operator()(CURL* handle) const { lib->easy_cleanup(handle); }
};

} // namespace

FetchResult fetchUrl(const std::string& url, const FetchOptions& options) {
    FetchResult result;
    if (!hasWebScheme(url)) {
        result.error = "Not an http or https address: " + url;
        return result;
    }
    const CurlLibrary* lib = curlLibrary();
    if (!lib) {
        result.error = "No HTTP client library (libcurl) to reach " + url;
        return result;
    }
    std::unique_ptr<CURL, CurlDeleter> curl(lib->easy_init(), CurlDeleter{lib});
    if (!curl) {
        result.error = "Could not start a transfer for " + url;
        return result;
    }
    Transfer transfer;
    transfer.maxBytes = options.maxBytes;
    transfer.cancel = options.cancel;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const long timeoutMs = static_cast<long>(options.timeout.count());

    CURL* h = curl.get();
    lib->easy_setopt(h, CURLOPT_URL, url.c_str());
    lib->easy_setopt(h, CURLOPT_NOSIGNAL, 1L); // signals are process-wide; we are not alone
    lib->easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    lib->easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    lib->easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    lib->easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    lib->easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
    lib->easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    lib->easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    lib->easy_setopt(h, CURLOPT_USERAGENT, "Clavio/" CLAVIO_VERSION);
    lib->easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    lib->easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
    lib->easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    lib->easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    lib->easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    lib->easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

    const CURLcode code = lib->easy_perform(h);
    lib->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.httpStatus);

    if (code != CURLE_OK) {
        if (transfer.tooLarge) {
            result.error = "The answer from " + url + " is larger than " +
                           std::to_string(options.maxBytes / 1024) + " KiB";
        } else if (code == CURLE_ABORTED_BY_CALLBACK) {
            result.error = "The request to " + url + " was cancelled";
        } else if (code == CURLE_OPERATION_TIMEDOUT) {
            result.error = "No answer from " + url + " within " +
                           std::to_string(options.timeout.count()) + " ms";
        } else {
            const std::string detail = errorBuffer[0] ? errorBuffer : lib->easy_strerror(code);
            result.error = "Could not reach " + url + ": " + detail;
        }
        return result;
    }
    if (result.httpStatus >= 400) {
        result.error =
            "The server answered HTTP " + std::to_string(result.httpStatus) + " for " + url;
        return result;
    }
    result.ok = true;
    result.body = std::move(transfer.body);
    return result;
}

} // namespace clavio::platform
