// The output latency a PulseAudio server (or PipeWire's PulseAudio server)
// states for a process's playback stream, through libpulse.
//
// SDL owns its stream and tells nothing of its latency, so this asks the
// server from a second, short-lived connection: the sink inputs whose client
// runs as process `pid` (the "application.process.id" libpulse gives every
// client), each with the audio queued for it in the server ("buffer") and
// the latency of the sink it plays into ("sink"), and that sink's name and
// configured latency. The sum of the first two is how long a frame the
// stream hands over now takes to reach the sink's output.
//
// The server is the one libpulse finds for any client ($PULSE_SERVER, else
// the user's runtime folder); a server is never started for the question.
//
// Threading: a blocking call of the control thread (it runs its own main
// loop for at most `timeout`); never the render thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace clavio::platform {

struct PulseStreamLatency {
    std::string server;        // the server's name and version ("pulseaudio 16.1")
    std::string sink;          // the sink's name ("alsa_output.pci-0000_00_1f.3.analog-stereo")
    double bufferMs = 0.0;     // queued in the server for the stream
    double sinkMs = 0.0;       // the sink's own latency
    double configuredMs = 0.0; // the sink's configured latency (0: none stated)
    double totalMs() const noexcept { return bufferMs + sinkMs; }
};

// Nullopt, with a one-line reason in `error`, when no server answers within
// `timeout`, the server has no playback stream of `pid`, or it states no
// latency for it (nothing queued and a sink of no latency). With several
// streams, the one the server lists first.
std::optional<PulseStreamLatency>
queryPulseStreamLatency(pid_t pid, std::chrono::milliseconds timeout, std::string& error);

} // namespace clavio::platform
