// Key records of a trace and a tap's events are the same thing: what a
// keyboard tap observes before the event logic masks the flags and tells
// modifier presses from releases. These functions convert between the two,
// so recording (tap to trace), real-time replay (ReplayKeySource) and
// virtual-time delivery (a ReplaySource driven by deliverUntil) agree.
//
// Threading: the conversions are pure and real-time safe. connectReplaySinks
// is called on the thread that will drive the source, before it does; the
// sinks it installs then run on that thread and must not race a capture or
// sensor thread over the same capture and ring (offline rendering runs none).
#pragma once

#include <cstdint>
#include <optional>

#include "engine/keyboard/key_tap.h"
#include "engine/replay/replay_source.h"
#include "engine/replay/session_trace.h"

namespace clavio {

class KeyboardCaptureManager;
class SPUSensor;

// The tap event a trace's key record stands for, stamped with `timestamp`
// (its due time) so that the event logic hands that time on.
TCATapEvent tapEventFromTraceKey(const TraceKey& key, std::uint64_t timestamp) noexcept;

// The key record for a tap event; none for the tap-disabled notifications
// and unknown types, which a trace does not hold.
std::optional<TraceKey> traceKeyFromTapEvent(const TCATapEvent& event) noexcept;

// Virtual-time delivery through the entry points the live threads use: key
// records go to the keyboard front's event logic (deliverTapEvent, so masking,
// the modifier press/release rule and autorepeat apply), reports to the report
// decoder writing the sensor's ring (_hidReportCallback). `keyboard` and
// `sensor` must outlive the source's deliveries.
void connectReplaySinks(ReplaySource& source, KeyboardCaptureManager& keyboard, SPUSensor& sensor);

} // namespace clavio
