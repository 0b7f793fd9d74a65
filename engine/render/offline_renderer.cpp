#include "engine/render/offline_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "engine/audio/audio_engine.h"
#include "engine/audio/offline_audio_output.h"
#include "engine/keyboard/key_tap.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/render/seeded_random.h"
#include "engine/replay/offline_replay_ports.h"
#include "engine/replay/replay_delivery.h"
#include "engine/replay/replay_microphone.h"
#include "engine/replay/replay_source.h"
#include "engine/runtime/virtual_time_scheduler.h"
#include "engine/sensing/calibration.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/settings/setting_limits.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

namespace {

constexpr std::uint64_t kTicksPerSecond = 1'000'000'000;
constexpr std::uint64_t kTicksPerMs = 1'000'000;

// Frame positions and ticks, exactly, in integers: frame f starts at
// origin + floor(f x 1e9 / rate).
class FrameClock {
public:
    FrameClock(std::uint64_t origin, std::uint32_t rate) : _origin(origin), _rate(rate) {}

    std::uint64_t ticksAt(std::uint64_t frame) const {
        return _origin + (frame / _rate) * kTicksPerSecond +
               (frame % _rate) * kTicksPerSecond / _rate;
    }
    // The first frame that starts at or after `ticks`.
    std::uint64_t firstFrameFrom(std::uint64_t ticks) const {
        if (ticks <= _origin) {
            return 0;
        }
        const std::uint64_t d = ticks - _origin;
        return (d / kTicksPerSecond) * _rate +
               ((d % kTicksPerSecond) * _rate + kTicksPerSecond - 1) / kTicksPerSecond;
    }

private:
    std::uint64_t _origin;
    std::uint64_t _rate;
};

// What the key-down handler waits before classifying: searchPostMs truncated
// to whole milliseconds, plus 10. Values the pipeline could not use (not
// finite, negative) count as 0 here; they only bound the render's tail.
std::uint64_t classificationDelayTicks(double searchPostMs) {
    double ms = std::isfinite(searchPostMs) ? std::trunc(searchPostMs) : 0.0;
    ms = std::clamp(ms, 0.0, 3'600'000.0);
    return (std::uint64_t(ms) + 10) * kTicksPerMs;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
}

} // namespace

OfflineRenderer::OfflineRenderer(OfflineRenderConfig config) : _config(std::move(config)) {}

OfflineRenderResult OfflineRenderer::render(const std::filesystem::path& trace) {
    std::optional<TraceError> error;
    auto loaded = LoadedTrace::read(trace, error);
    if (!loaded) {
        OfflineRenderResult result;
        result.sampleRate = _config.sampleRate;
        result.traceError = std::move(error);
        return result;
    }
    return render(std::move(loaded));
}

OfflineRenderResult OfflineRenderer::render(std::shared_ptr<const LoadedTrace> trace) {
    OfflineRenderResult result;
    result.sampleRate = _config.sampleRate;
    const TraceSummary& summary = trace->summary();
    if (!_config.settings || !_config.audioDecoder || _config.sampleRate == 0 ||
        _config.maxBlockFrames == 0) {
        result.sinkError = "offline render: incomplete configuration";
        return result;
    }

    const std::uint64_t origin = summary.firstTicks.value_or(0);
    const std::uint64_t last = summary.lastTicks.value_or(origin);
    result.originTicks = origin;
    // The delay the coordinator really waits: an unusable setting is used at
    // its clamped value there, so the render's tail follows that value.
    const std::uint64_t delay = classificationDelayTicks(
        usableSettingValue(SettingsKey::searchPostMs, _config.settings->searchPostMs()));
    const std::uint64_t minimumEnd =
        saturatingAdd(last, std::max(delay + kTicksPerMs, kMinimumTailTicks));
    // A classification delay longer than the longest tail is no setting a
    // recording could have used: it would only render silence.
    if (minimumEnd - origin > _config.maxRenderTicks || minimumEnd - last > kMaximumTailTicks) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "the render would last %.0f s (the trace's %.0f s, then %.0f s for the last "
                      "press); the limits are %.0f s in all and %.0f s after the last record",
                      double(minimumEnd - origin) * 1e-9, double(last - origin) * 1e-9,
                      double(minimumEnd - last) * 1e-9, double(_config.maxRenderTicks) * 1e-9,
                      double(kMaximumTailTicks) * 1e-9);
        result.traceError = TraceError{trace->source(), 0, line};
        return result;
    }

    VirtualTimeScheduler scheduler(origin);
    OfflineAudioOutput output(double(_config.sampleRate));
    SeededRandom random(_config.seed);

    CoordinatorServices services;
    services.queues = {&scheduler, &scheduler};
    services.devices = {std::make_shared<OfflineSensorRegistry>(summary.accelReports > 0),
                        std::make_shared<OfflineKeySource>(), _config.audioDecoder, &output};
    // A trace with microphone blocks brings its microphone; the coordinator
    // listens to it only when velocitySource is "microphone".
    ReplayMicrophone microphone(double(summary.micRate));
    if (summary.micBlocks > 0) {
        services.devices.microphone = &microphone;
    }
    services.random = {SeededRandom::indexFunction(random), SeededRandom::jitterFunction(random)};
    services.bundledPacksFolder = _config.bundledPacksFolder;

    auto coordinator = ToccaCoordinator::create(_config.settings, std::move(services));
    // Both reporters run on this thread: the classify queue is virtual, and
    // releases come from the event logic called below.
    std::optional<KeyOrderBuffer> order;
    if (_config.eventSink) {
        order.emplace(_config.eventSink);
    }
    const bool keep = _config.keepEvents;
    coordinator->setPressReporter([&](const ToccaCoordinator::PressReport& press) {
        ++result.pressCount;
        if (keep) {
            result.presses.push_back(press);
        }
        if (order) {
            order->add(press);
        }
    });
    coordinator->setReleaseReporter([&](const ToccaCoordinator::ReleaseReport& release) {
        ++result.releaseCount;
        if (keep) {
            result.releases.push_back(release);
        }
        if (order) {
            order->add(release);
        }
    });
    // Once everything due by `now` has run, every press whose key went down
    // by now - orderDelay is classified and every release by now reported:
    // those events are final. The delay is the one the coordinator uses,
    // which for a setting it refuses is not the tail's.
    const std::uint64_t orderDelay = classificationDelayTicks(
        usableSettingValue(SettingsKey::searchPostMs, _config.settings->searchPostMs()));
    const char* const eventsRefused = "the render's events could not be stored";

    // Construction posted start() when sound is on. The render starts the
    // coordinator in any case, as a user interface may: with sound off
    // presses are classified and reported but nothing sounds. Without
    // accelerometer reports every press plays at the fixed strength.
    scheduler.runUntil(origin);
    if (!coordinator->isRunning()) {
        coordinator->start();
    }
    result.sensorAvailable = coordinator->sensorAvailable();
    result.strikeSource = coordinator->strikeSource();
    result.packLoaded = coordinator->packManager().currentManifest().has_value();
    result.loadedSamples = coordinator->audioEngine().loadedSampleCount();
    result.packRefusal = coordinator->packRefusal();
    if (result.packRefusal) {
        // Nothing is rendered with a pack that was refused.
        coordinator->stop();
        coordinator.reset();
        return result;
    }

    ReplaySource source{trace};
    // A trace's modifier changes are relative to nothing held when it began.
    tca_set_previous_flags(0);
    connectReplaySinks(source, coordinator->keyboard(), coordinator->sensor());
    source.setMicSink([&microphone](const float* samples, std::size_t count, std::uint32_t rate,
                                    std::uint64_t timestamp) {
        microphone.deliver(samples, count, rate, timestamp);
    });

    const std::uint64_t hardEnd = std::min(saturatingAdd(minimumEnd, kMaximumTailTicks),
                                           saturatingAdd(origin, _config.maxRenderTicks));
    const FrameClock clock(origin, _config.sampleRate);
    const std::uint64_t framesPerSecond = _config.sampleRate;
    std::vector<float> block(std::size_t(_config.maxBlockFrames) * 2);
    std::uint64_t frame = 0;
    std::uint64_t nextProgress = framesPerSecond;

    for (;;) {
        const std::uint64_t now = clock.ticksAt(frame);
        // Records and tasks due by this frame, in time order.
        while (const auto due = source.nextTime()) {
            if (*due > now) {
                break;
            }
            scheduler.runUntil(*due);
            source.deliverUntil(*due);
        }
        scheduler.runUntil(now);
        if (order && now >= orderDelay && !order->handOnBefore(now - orderDelay + 1)) {
            result.sinkError = eventsRefused;
            break;
        }
        if (source.finished()) {
            if (now >= hardEnd ||
                (now >= minimumEnd && coordinator->audioEngine().busyVoiceCount() == 0)) {
                break;
            }
        }

        std::uint64_t end = frame + _config.maxBlockFrames;
        std::optional<std::uint64_t> next = scheduler.nextDueTicks();
        if (const auto record = source.nextTime()) {
            next = next ? std::min(*next, *record) : *record;
        }
        if (next) {
            end = std::min(end, std::max(frame + 1, clock.firstFrameFrom(*next)));
        }
        if (!_config.audioSink && coordinator->audioEngine().busyVoiceCount() == 0) {
            // Nothing sounds and nothing is heard: straight to what is due
            // next, or to the end.
            end = std::max(end, clock.firstFrameFrom(next ? *next : minimumEnd));
            frame = end;
            continue;
        }
        const auto frames = std::uint32_t(end - frame);
        output.pull(block.data(), frames);
        if (_config.audioSink && !_config.audioSink(block.data(), frames)) {
            result.sinkError = "the rendered audio could not be stored";
            break;
        }
        frame = end;
        if (_config.progress && frame >= nextProgress) {
            nextProgress = frame + framesPerSecond;
            _config.progress({clock.ticksAt(frame) - origin, minimumEnd - origin});
        }
    }
    result.framesRendered = frame;
    if (order) {
        if (!result.sinkError && !order->handOnAll()) {
            result.sinkError = eventsRefused;
        }
        result.mostEventsHeld = order->mostHeld();
    }

    coordinator->stop();
    result.calibrationScores = coordinator->calibration().count();
    result.calibration = coordinator->calibration().computeThresholds();
    coordinator->setPressReporter(nullptr);
    coordinator->setReleaseReporter(nullptr);
    // The coordinator goes before the scheduler and output it points to.
    coordinator.reset();
    return result;
}

} // namespace clavio
