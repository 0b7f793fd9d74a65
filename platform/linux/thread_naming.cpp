#include "clavio_platform/thread_naming.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "clavio/thread_naming.h"

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
    const auto dot = label.rfind('.');
    std::string_view last = dot == std::string_view::npos ? label : label.substr(dot + 1);
    return std::string(last.substr(0, kKernelNameLength));
}

void installThreadNaming() {
    setThreadNamer(&nameLinuxThread);
}

} // namespace clavio::platform
