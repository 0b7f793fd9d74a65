// The system log: one line per event, with a bracketed prefix chosen by the
// caller ("[Clavio]", "[Clavio:Audio]", ...). There are no levels.
//
// Threading: logLine may be called from any thread except real-time ones (the
// render callback, the ring writer, the report and key callbacks), since it
// takes a lock and may allocate. The sink is replaced only by tests and the
// composition root, before or after the threads that log are running.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace clavio {

using LogSink = std::function<void(std::string_view line)>;

// Any thread (not real-time). Writes one line; the default sink is stderr.
void logLine(std::string_view line);

// Replaces the sink and returns the previous one. An empty sink restores stderr.
LogSink setLogSink(LogSink sink);

} // namespace clavio
