#include "clavio/thread_name.h"

#include <atomic>

namespace clavio {

namespace {
std::atomic<ThreadNamingHook> gNamingHook{nullptr};
} // namespace

void setThreadNamingHook(ThreadNamingHook hook) noexcept {
    gNamingHook.store(hook, std::memory_order_release);
}

void nameCurrentThread(std::string_view label) noexcept {
    if (const ThreadNamingHook hook = gNamingHook.load(std::memory_order_acquire)) {
        hook(label);
    }
}

} // namespace clavio
