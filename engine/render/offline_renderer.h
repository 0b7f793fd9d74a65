// Offline rendering of a session trace: the real coordinator, keystroke
// pipeline and mixer on virtual time, with the mixer's output pulled into a
// sink instead of a sound card.
//
// One VirtualTimeScheduler is the clock, the main queue and the classify
// queue. The trace's records reach the live entry points on the driving
// thread (key records the capture's event logic, reports the decoder
// writing the sensor's ring), each at its own time. Audio is pulled in
// blocks of at most `maxBlockFrames`, and a block also ends where the next
// record or task falls due, so everything due by a frame has run before the
// frame is rendered: a voice started by a classification at time c sounds
// from the first frame at or after c. The same trace, pack, settings and
// seed therefore always give the same frames.
//
// Threading: render() runs on the calling thread, which becomes the main
// thread and the classify queue while it runs (the scheduler is installed as
// the process clock for that time; no other code may rely on the process
// clock meanwhile). The coordinator's keyboard and sensor threads exist but
// only wait. Sinks and the progress callback are called on the calling
// thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/pipeline/tocca_coordinator.h"
#include "engine/render/render_events.h"
#include "engine/replay/session_trace.h"
#include "engine/sensing/calibration.h"

namespace clavio {

class AudioDecoder;
class ToccaSettings;

struct OfflineRenderProgress {
    std::uint64_t renderedTicks = 0; // trace time rendered so far
    std::uint64_t expectedTicks = 0; // the trace's length plus the shortest tail
};

struct OfflineRendererLimits {
    // Three hours: a render of that length at 48 kHz is 4 GB of WAV.
    static constexpr std::uint64_t kMaxRenderTicks = 3ull * 3600ull * 1'000'000'000ull;
};

struct OfflineRenderConfig {
    std::shared_ptr<ToccaSettings> settings;    // required; selectedPackName picks the pack
    const AudioDecoder* audioDecoder = nullptr; // required
    std::filesystem::path bundledPacksFolder;   // <resources>/SoundPacks
    std::uint64_t seed = 0;
    std::uint32_t sampleRate = 48000;
    std::uint32_t maxBlockFrames = 64;
    // The most audio a render may cover, first record to end of tail; a
    // trace (or a classification delay) asking for more is refused before
    // anything is rendered.
    std::uint64_t maxRenderTicks = OfflineRendererLimits::kMaxRenderTicks;
    // Interleaved stereo frames, in order. Returning false stops the render
    // (the result's error says so). Null: frames are rendered and dropped.
    std::function<bool(const float* interleaved, std::uint32_t frames)> audioSink;
    // Each press and release once it is final, in key-event order (the events
    // file's): a release about a classification delay after its key went
    // up, a press once it is classified. Returning false stops the render
    // (the result's error says so).
    std::function<bool(const RenderEvent&)> eventSink;
    // Whether the result keeps every press and release as well. A long
    // render with an event sink does without: its memory then follows the
    // typing rate, not the number of presses.
    bool keepEvents = true;
    // About once per second of rendered audio.
    std::function<void(const OfflineRenderProgress&)> progress;
};

struct OfflineRenderResult {
    // Set when the trace is malformed or its render would be longer than
    // maxRenderTicks: nothing was rendered (the sink was never called).
    std::optional<TraceError> traceError;
    // Set when the sink refused frames.
    std::optional<std::string> sinkError;

    std::uint64_t originTicks = 0; // trace time of frame 0 (the first record's)
    std::uint64_t framesRendered = 0;
    std::uint32_t sampleRate = 0;
    bool sensorAvailable = false;
    StrikeSource strikeSource;     // where the presses' strength came from
    bool packLoaded = false;       // the catalogue found and decoded the pack's manifest
    // Set when the pack was over the decoded-audio limits: nothing was
    // rendered.
    std::optional<std::string> packRefusal;
    std::size_t loadedSamples = 0; // files the mixer decoded for it
    // Filled when the configuration keeps the events.
    std::vector<ToccaCoordinator::PressReport> presses;
    std::vector<ToccaCoordinator::ReleaseReport> releases;
    std::size_t pressCount = 0;
    std::size_t releaseCount = 0;
    // The most events the event sink's reordering held at once.
    std::size_t mostEventsHeld = 0;
    std::ptrdiff_t calibrationScores = 0;
    std::optional<CalibrationResult> calibration;

    bool ok() const { return !traceError && !sinkError && !packRefusal; }
    double seconds() const { return sampleRate ? double(framesRendered) / sampleRate : 0.0; }
};

class OfflineRenderer {
public:
    // How long the render goes on after the last record once every voice has
    // ended, and the most it waits for voices to end.
    static constexpr std::uint64_t kMinimumTailTicks = 50'000'000;
    static constexpr std::uint64_t kMaximumTailTicks = 30'000'000'000;

    explicit OfflineRenderer(OfflineRenderConfig config);

    // Replays a trace from its first record to its last, plus the
    // classification delay of the last press and a tail until every voice
    // has ended. Without an audio sink, stretches where no voice sounds and
    // nothing is due are jumped over, so the cost follows the records, not
    // the time between them.
    OfflineRenderResult render(std::shared_ptr<const LoadedTrace> trace);
    // Reads the trace whole first, in one pass; a malformed trace renders
    // nothing.
    OfflineRenderResult render(const std::filesystem::path& trace);

private:
    OfflineRenderConfig _config;
};

} // namespace clavio
