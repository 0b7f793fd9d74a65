#include "clavio_platform/thread_naming.h"

#include <pthread.h>

#include <algorithm>

#include "clavio/thread_name.h"

namespace clavio::platform {

namespace {

constexpr std::size_t kMaxNameBytes = 15; // TASK_COMM_LEN minus the terminator

void setCurrentThreadName(std::string_view label) {
    const std::string name = shortThreadName(label);
    // Refusal only costs the name; the thread works the same.
    (void)pthread_setname_np(pthread_self(), name.c_str());
}

} // namespace

std::string shortThreadName(std::string_view label) {
    std::string_view name = label;
    if (const auto dot = label.rfind('.');
        dot != std::string_view::npos && dot + 1 < label.size()) {
        name = label.substr(dot + 1);
    }
    std::size_t end = std::min(name.size(), kMaxNameBytes);
    // A cut before a continuation byte splits a character: drop all of it.
    while (end > 0 && end < name.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    const std::string result(name.substr(0, end));
    // An embedded NUL would cut the name anyway; keep what precedes it.
    return result.substr(0, result.find('\0'));
}

void installThreadNaming() noexcept {
    setThreadNamingHook(&setCurrentThreadName);
}

} // namespace clavio::platform
