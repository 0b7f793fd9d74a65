// Runs a queued task so that an exception it throws is logged instead of
// ending the queue's thread (or unwinding through an event loop that does
// not support it). Shared by every queue: run loop, Qt main queue, serial
// classify queue and virtual-time scheduler.
//
// Threading: any non-real-time thread (it may log).
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "engine/core/log.h"

namespace clavio {

// Logs "[Clavio] <queueName> task failed: <what>" when `task` throws.
template <typename F> void runGuardedTask(F& task, std::string_view queueName) {
    try {
        task();
    } catch (const std::exception& e) {
        logLine("[Clavio] " + std::string(queueName) + " task failed: " + e.what());
    } catch (...) {
        logLine("[Clavio] " + std::string(queueName) + " task failed with an unknown exception");
    }
}

} // namespace clavio
