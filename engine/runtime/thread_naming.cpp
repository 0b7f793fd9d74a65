#include "engine/runtime/thread_naming.h"

#include <atomic>

namespace clavio {

namespace {
std::atomic<ThreadNamer> gNamer{nullptr};
thread_local std::string_view tLabel;
} // namespace

ThreadNamer setThreadNamer(ThreadNamer namer) noexcept {
    return gNamer.exchange(namer);
}

void nameCurrentThread(std::string_view label) {
    // Labels are string literals of this program (kKeyboardThreadLabel, ...),
    // so keeping the view is safe.
    tLabel = label;
    if (auto namer = gNamer.load()) {
        namer(label);
    }
}

std::string_view currentThreadLabel() noexcept {
    return tLabel;
}

} // namespace clavio
