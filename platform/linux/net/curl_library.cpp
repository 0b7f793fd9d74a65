#include "platform/linux/net/curl_library.h"

#include <dlfcn.h>

#include <string>

#include "engine/core/log.h"

namespace clavio::platform {

namespace {

// The soname of the libcurl the headers come from (libcurl4 on Debian).
constexpr const char* kSoname = "libcurl.so.4";

const CurlLibrary* load() {
    void* handle = dlopen(kSoname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        logLine(std::string("[Clavio] HTTP client library cannot be loaded: ") +
                (why ? why : kSoname));
        return nullptr;
    }
    static CurlLibrary lib{};
    std::string missing;
    const auto bind = [&](auto& slot, const char* name) {
        void* symbol = dlsym(handle, name);
        if (!symbol && missing.empty()) {
            missing = name;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
    };
    bind(lib.global_init, "curl_global_init");
    bind(lib.easy_init, "curl_easy_init");
    bind(lib.easy_setopt, "curl_easy_setopt");
    bind(lib.easy_perform, "curl_easy_perform");
    bind(lib.easy_getinfo, "curl_easy_getinfo");
    bind(lib.easy_strerror, "curl_easy_strerror");
    bind(lib.easy_cleanup, "curl_easy_cleanup");
    bind(lib.multi_init, "curl_multi_init");
    bind(lib.multi_add_handle, "curl_multi_add_handle");
    bind(lib.multi_remove_handle, "curl_multi_remove_handle");
    bind(lib.multi_perform, "curl_multi_perform");
    bind(lib.multi_info_read, "curl_multi_info_read");
    bind(lib.multi_poll, "curl_multi_poll");
    bind(lib.multi_wakeup, "curl_multi_wakeup");
    bind(lib.multi_cleanup, "curl_multi_cleanup");
    bind(lib.slist_append, "curl_slist_append");
    bind(lib.slist_free_all, "curl_slist_free_all");
    if (!missing.empty()) {
        logLine("[Clavio] HTTP client library " + std::string(kSoname) + " lacks " + missing);
        return nullptr;
    }
    // The library stays loaded for the life of the process: handles made
    // through it may outlive any one user.
    if (lib.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        logLine("[Clavio] HTTP client library failed to initialise");
        return nullptr;
    }
    return &lib;
}

} // namespace

const CurlLibrary* curlLibrary() {
    static const CurlLibrary* const lib = load();
    return lib;
}

} // namespace clavio::platform
