#include "platform/linux/system/thread_naming.h"

#include <pthread.h>

#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>

#include "engine/runtime/thread_naming.h"

namespace clavio::platform {

namespace {
constexpr std::size_t kKernelNameLength = 15;
// The user-interactive class of the description: as high as an unprivileged
// process may go without real-time scheduling.
constexpr int kInteractiveNice = -10;

void nameLinuxThread(std::string_view label) {
    const std::string shortName = shortThreadName(label);
    pthread_setname_np(pthread_self(), shortName.c_str());
    // Refusal (no CAP_SYS_NICE, RLIMIT_NICE) leaves the default priority.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kInteractiveNice);
}
} // namespace

std::string shortThreadName(std::string_view label) {
    std::string_view name = label;
    if (const auto dot = label.rfind('.');
        dot != std::string_view::npos && dot + 1 < label.size()) {
        name = label.substr(dot + 1);
    }
    std::size_t end = std::min(name.size(), kKernelNameLength);
    // A cut before a continuation byte splits a character: drop all of it.
    while (end > 0 && end < name.size() &&
           (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    const std::string result(name.substr(0, end));
    // An embedded NUL would cut the name anyway; keep what precedes it.
    return result.substr(0, result.find('\0'));
}

void installThreadNaming() {
    setThreadNamer(&nameLinuxThread);
}

} // namespace clavio::platform
