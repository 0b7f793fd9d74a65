// libcurl opened on first use (dlopen) rather than linked: the library and
// what it pulls in (OpenSSL, GnuTLS, Kerberos, LDAP, SSH, about 7 MB resident
// once mapped) stay out of a process that never makes a request, which is the
// tray app unless usage pings are on or an update check runs.
//
// Threading: any thread; the first call loads, later ones return the same.
#pragma once

#include <curl/curl.h>

namespace clavio::platform {

struct CurlLibrary {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    decltype(&::curl_easy_perform) easy_perform;
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_perform) multi_perform;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_poll) multi_poll;
    decltype(&::curl_multi_wakeup) multi_wakeup;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
};

// The library, loaded and globally initialised once; null when it cannot be
// (not installed, a symbol missing, initialisation failed), with one log line
// the first time.
const CurlLibrary* curlLibrary();

} // namespace clavio::platform
