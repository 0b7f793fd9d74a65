// The keystroke pipeline: the key-down handler (keyboard thread) schedules
// the classification step (classify queue) searchPostMs + 10 ms later; with
// earlyDecision it schedules a check 7 ms later instead, which
// classifies as soon as the samples in the ring show the strike over and
// otherwise looks again a millisecond later, up to that same deadline. The
// step measures, counts, sounds one sample per velocity layer, runs a macro
// and posts the publish step (main thread). The key-up handler plays a
// release sound directly on the keyboard thread.
//
// What the keyboard thread does per key: one weak-reference lock (an atomic
// compare-and-swap; if the coordinator's last owner lets go meanwhile, the
// release of that reference is where it is destroyed), a few relaxed atomic settings loads, a
// shared_ptr copy (an atomic increment) into an inline task, one queue submission (the queue's own
// short lock, no allocation), the sensor's hurry (atomics and one eventfd write or futex wake),
// and for a release a snapshot read (two atomic read-modify-writes) plus the mixer's play call
// (the mixer's sample-list lock, held for the index check and the voice claim). It never
// allocates, logs or frees.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "engine/core/log.h"
#include "engine/core/timebase.h"
#include "engine/pipeline/tocca_coordinator_impl.h"
#include "engine/pipeline/velocity_crossfader.h"
#include "engine/settings/settings_values.h"

namespace clavio {

namespace {

// The first look at the ring comes when most strikes have passed their peak
// (the chassis vibrates from 1.5 to 6 ms after the key): each look is a
// wake-up of the classify thread, which on a loaded machine may come late.
// The later looks follow a report or so apart.
constexpr std::uint64_t kFirstCheckTicks = 7'000'000;
constexpr std::uint64_t kCheckStepTicks = 1'000'000;

constexpr std::array<std::string_view, 4> kSampleTierNames = {"soft", "medium", "hard", "slam"};

constexpr std::array<std::array<std::string_view, 4>, 8> kSampleKeys = {{
    {"alpha_soft", "alpha_medium", "alpha_hard", "alpha_slam"},
    {"modifier_soft", "modifier_medium", "modifier_hard", "modifier_slam"},
    {"space_soft", "space_medium", "space_hard", "space_slam"},
    {"enter_soft", "enter_medium", "enter_hard", "enter_slam"},
    {"delete_soft", "delete_medium", "delete_hard", "delete_slam"},
    {"arrow_soft", "arrow_medium", "arrow_hard", "arrow_slam"},
    {"function_soft", "function_medium", "function_hard", "function_slam"},
    {"other_soft", "other_medium", "other_hard", "other_slam"},
}};

std::size_t sampleTierIndex(VelocityTier tier) noexcept {
    const int t = rawValue(tier) - 1;
    return t <= 0 ? 0 : (t >= 3 ? 3 : std::size_t(t));
}

const std::vector<std::int32_t>* find(const SampleMaps::Map& map, std::string_view key) noexcept {
    const auto it = map.find(key);
    return it == map.end() || it->second.empty() ? nullptr : &it->second;
}

} // namespace

std::string_view sampleTierName(VelocityTier tier) noexcept {
    return kSampleTierNames[sampleTierIndex(tier)];
}

std::string_view sampleKey(KeyGroup group, VelocityTier tier) noexcept {
    const int g = rawValue(group);
    const std::size_t row = g >= 0 && g < 8 ? std::size_t(g) : 7;
    return kSampleKeys[row][sampleTierIndex(tier)];
}

float ToccaCoordinator::pitchForKey(std::uint16_t keyCode) noexcept {
    switch (keyCode) {
    case 1:
        return 0.09f;
    case 8:
        return 0.10f;
    case 11:
        return 0.14f;
    case 12:
        return 0.13f;
    case 15:
        return 0.12f;
    case 34:
        return 0.10f;
    case 35:
        return 0.11f;
    default:
        break;
    }
    const std::uint32_t low = (std::uint32_t(keyCode) * 31153u) & 0xFFFFu;
    return (float(low) / 65535.0f - 0.5f) * 0.08f;
}

std::map<std::string, std::vector<std::int32_t>> ToccaCoordinator::loadedSampleMap() const {
    const auto maps = _impl->sampleMaps.read();
    return {maps->press.begin(), maps->press.end()};
}

std::map<std::string, std::vector<std::int32_t>> ToccaCoordinator::loadedReleaseSampleMap() const {
    const auto maps = _impl->sampleMaps.read();
    return {maps->release.begin(), maps->release.end()};
}

// ---- installation (main thread, from start()) ----

std::shared_ptr<const PipelineContext> ToccaCoordinator::Impl::makePipelineContext() {
    auto context = std::make_shared<PipelineContext>();
    context->coordinator = weakSelf;
    const double ms =
        usableSetting(SettingsKey::searchPostMs, settings->searchPostMs(), refusedSettingLogged);
    context->searchPostMs = ms;
    context->delayTicks = tca_ms_to_mach(std::trunc(ms) + 10.0);
    // The reports a press is measured on all arrive within searchPostMs of
    // it: the hold covers them with room to spare, however late the step runs.
    context->hurryHoldSeconds = (std::trunc(ms) + 10.0) / 1000.0 + 0.02;
    context->classifyQueue = classifyQueue;
    context->classifier = classifier.get();
    context->ringBuffer = sensor->ringBuffer();
    context->micClassifier = micClassifier.get();
    context->canceller = canceller.get();
    context->calibrationCollector = calibrationCollector.get();
    context->keyLevels = keyLevels.get();
    context->micKeyLevels = micKeyLevels.get();
    context->macroRouter = macroRouter.get();
    return context;
}

void ToccaCoordinator::Impl::installKeyHandlers(std::shared_ptr<const PipelineContext> context) {
    // The mute shortcut's keys are taken out first: they never sound.
    keyboard->setOnKeyDown([context = std::move(context)](const KeyEvent& event) {
        if (const auto self = context->coordinator.lock();
            self && self->_impl->watchChord(event, true)) {
            return;
        }
        keyDown(context, event);
    });
    keyboard->setOnKeyUp([weak = weakSelf](const KeyEvent& event) {
        if (const auto self = weak.lock(); self && !self->_impl->watchChord(event, false)) {
            self->_impl->keyUp(event);
        }
    });
}

// ---- key-down (keyboard thread) ----

void ToccaCoordinator::Impl::keyDown(const std::shared_ptr<const PipelineContext>& context,
                                     const KeyEvent& event) noexcept {
    if (event.isRepeat) {
        return;
    }
    // A coordinator that is gone lets the press through; its step ends it.
    const auto self = context->coordinator.lock();
    if (event.keyGroup == KeyGroup::modifier && self &&
        self->_impl->settings->disableModifierSounds()) {
        return;
    }
    // The press sounds searchPostMs + 10 ms from now: wake an output that went
    // quiet while nobody typed, so the stream is back before the voice starts.
    // The sensor stream passes on the reports it holds and stays unbatched
    // until the press is classified, so the step never waits for a batch.
    if (self) {
        self->_impl->audioEngine->noteActivity();
        self->_impl->sensor->hurry(context->hurryHoldSeconds);
    }
    const std::uint64_t now = hostTicks();
    const std::uint64_t delay = context->delayTicks;
    const std::uint64_t deadline = now > std::numeric_limits<std::uint64_t>::max() - delay
                                       ? std::numeric_limits<std::uint64_t>::max()
                                       : now + delay;
    KeyEvent press = event;
    press.isRepeat = false;
    // A refused task (queue full or shut down) is dropped: the keyboard
    // thread cannot wait, and the queue counts what it refuses.
    // The microphone's envelope is always read at the deadline.
    if (self && self->_impl->settings->earlyDecision() &&
        self->_impl->settings->velocitySource() != VelocitySource::microphone) {
        const std::uint64_t first =
            deadline - now > kFirstCheckTicks ? now + kFirstCheckTicks : deadline;
        context->classifyQueue->submitAt(
            first, [context, press, deadline] { checkPress(context, press, deadline); });
        return;
    }
    context->classifyQueue->submitAt(deadline,
                                     [context, press] { classifyPress(*context, press); });
}

// ---- early decision (classify queue) ----

void ToccaCoordinator::Impl::checkPress(const std::shared_ptr<const PipelineContext>& context,
                                        KeyEvent event, std::uint64_t deadline) {
    const auto self = context->coordinator.lock();
    if (!self) {
        return;
    }
    const Impl& d = *self->_impl;
    const std::uint64_t now = hostTicks();
    // Without a measurement there is nothing to wait for; at the deadline
    // the window closes as it does without early decisions.
    const VelocitySource source = d.settings->velocitySource();
    const bool measure = d.measuring.load(std::memory_order_acquire) &&
                         source != VelocitySource::fixed && source != VelocitySource::microphone;
    if (source == VelocitySource::microphone && now < deadline &&
        context->classifyQueue->submitAt(deadline,
                                         [context, event] { classifyPress(*context, event); })) {
        return; // chosen after the press was queued: read at the deadline
    }
    if (now >= deadline || !measure) {
        classifyPress(*context, event);
        return;
    }
    // Decided on the samples that are in the ring now, and only on them: the
    // classification reads no sample newer than the one the check saw.
    TCAMotionSample newest;
    if (tca_ring_latest(context->ringBuffer, &newest) &&
        context->classifier->strikeSettled(event.timestamp, context->ringBuffer,
                                           newest.timestamp)) {
        classifyPress(*context, event, newest.timestamp);
        return;
    }
    const std::uint64_t next = deadline - now > kCheckStepTicks ? now + kCheckStepTicks : deadline;
    if (!context->classifyQueue->submitAt(
            next, [context, event, deadline] { checkPress(context, event, deadline); })) {
        // A full queue cannot take the next look: decide on what is there.
        classifyPress(*context, event);
    }
}

// ---- classification step (classify queue) ----

void ToccaCoordinator::Impl::classifyPress(const PipelineContext& context, KeyEvent event,
                                           std::uint64_t windowEnd) {
    const auto self = context.coordinator.lock();
    if (!self) {
        return;
    }
    Impl& d = *self->_impl;
    d.catchUpBaseline();

    // Measured while the sensor runs and the setting allows it (read per
    // press, so a change applies to the next one); otherwise the fixed
    // strength, tiered by the classifier's own thresholds. Only measured
    // scores go to the calibration collector.
    ImpactResult result;
    const VelocitySource source = d.settings->velocitySource();
    const bool fromMic = source == VelocitySource::microphone && context.canceller != nullptr &&
                         d.micMeasuring.load(std::memory_order_acquire);
    const bool measure =
        fromMic || (source != VelocitySource::fixed && source != VelocitySource::microphone &&
                    d.measuring.load(std::memory_order_acquire));
    if (fromMic) {
        context.canceller->noteKey(event.timestamp);
        context.canceller->update(hostTicks());
        result =
            context.micClassifier->classify(event.timestamp, context.canceller->correctedRing());
    } else if (measure) {
        result = context.classifier->classifyUntil(event.timestamp, context.ringBuffer, windowEnd,
                                                   d.settings->lowRateSensing());
    } else {
        result =
            fixedImpact(context.classifier->config(), d.settings->fixedVelocity(), event.timestamp);
    }
    const std::uint64_t classifiedAt = hostTicks();
    if (measure) {
        context.calibrationCollector->record(result.score, fromMic ? ScoreSource::microphone
                                                                   : ScoreSource::accelerometer);
        if (d.settings->perKeyNormalization()) {
            // The key's factor from its strikes before this one, then this
            // strike joins its history. The corrected score is mapped to a
            // velocity and tier as a measured one is.
            // A key's coupling is to one sensor: the microphone keeps its
            // own levels.
            KeyLevels& levels = fromMic ? *context.micKeyLevels : *context.keyLevels;
            const float factor = levels.factor(event.keyCode);
            const ImpactConfig config =
                (fromMic ? context.micClassifier : context.classifier)->config();
            levels.learn(event.keyCode, result.score, config.deadzone);
            if (factor != 1.0f && result.score > 0.0f) {
                result = rescoredImpact(config, result, result.score * factor);
            }
        }
    }
    d.recordKeystroke(result.tier);

    // The report is built only when someone listens (it allocates).
    const bool reporting = d.pressReporter.current() != nullptr;
    PressReport report{event, result, classifiedAt, false, {}};

    if (!d.settings->soundEnabled()) {
        if (reporting) {
            d.pressReporter.call(report);
        }
        return;
    }
    report.sounded = true;

    const float keyPitch = pitchForKey(event.keyCode);
    const ToccaSettings& settings = *d.settings;
    const auto layers = VelocityCrossfader::layers(
        result.velocity, settings.mediumThreshold(), settings.hardThreshold(),
        settings.slamThreshold(), settings.crossfadeWidth());
    if (!layers.empty()) {
        const float v = result.velocity;
        const float gainScale = 0.5f * v + 0.5f;
        const float basePitch = 0.08f * v + 0.96f;
        if (reporting) {
            report.layers.reserve(layers.size());
        }
        for (const VelocityLayer& layer : layers) {
            std::int32_t index = -1;
            {
                const auto maps = d.sampleMaps.read();
                const auto* list = find(maps->press, sampleKey(event.keyGroup, layer.tier));
                if (!list) {
                    list = find(maps->press, "alpha_soft");
                }
                if (list) {
                    index = (*list)[d.services.random.index(std::uint32_t(list->size()))];
                }
            }
            if (index < 0) {
                if (reporting) {
                    report.layers.push_back({layer.tier, layer.gain, -1, 0.0f, 0.0f});
                }
                continue;
            }
            const float gainJitter = d.services.random.jitter(usableSetting(
                SettingsKey::gainVariation, settings.gainVariation(), d.refusedSettingLogged));
            const float pitchJitter = d.services.random.jitter(usableSetting(
                SettingsKey::pitchVariation, settings.pitchVariation(), d.refusedSettingLogged));
            const float gain = gainScale * layer.gain + gainJitter;
            const float pitchShift = keyPitch + (basePitch + pitchJitter);
            d.audioEngine->play(index, gain, pitchShift, d.panFor(event.keyCode));
            if (reporting) {
                report.layers.push_back({layer.tier, layer.gain, index, gain, pitchShift});
            }
        }
    }
    if (reporting) {
        d.pressReporter.call(report);
    }

    if (const auto action = context.macroRouter->route(event.keyCode, result.tier)) {
        context.macroRouter->execute(*action);
    }

    d.mainQueue->post([weak = context.coordinator, event, result] {
        // Taken afresh before each assignment: an observer may let go of the
        // last reference.
        if (const auto self = weak.lock()) {
            Impl& p = *self->_impl;
            p.assign(CoordinatorProperty::lastKeyEvent, p.lastKeyEvent,
                     std::optional<KeyEvent>(event));
        }
        if (const auto self = weak.lock()) {
            Impl& p = *self->_impl;
            p.assign(CoordinatorProperty::lastImpact, p.lastImpact,
                     std::optional<ImpactResult>(result));
        }
        if (const auto self = weak.lock()) {
            Impl& p = *self->_impl;
            p.assign(CoordinatorProperty::lastTier, p.lastTier, result.tier);
        }
    });
}

void ToccaCoordinator::Impl::recordKeystroke(VelocityTier tier) noexcept {
    sessionKeystrokes.fetch_add(1, std::memory_order_relaxed);
    const int raw = rawValue(tier);
    if (raw < 0 || raw >= int(sessionTierCounts.size())) {
        return;
    }
    if (tier == VelocityTier::silent && !silentCounted.load(std::memory_order_relaxed)) {
        silentCounted.store(true, std::memory_order_release);
    }
    sessionTierCounts[std::size_t(raw)].fetch_add(1, std::memory_order_relaxed);
}

// ---- key-up (keyboard thread) ----

void ToccaCoordinator::Impl::keyUp(const KeyEvent& event) noexcept {
    ReleaseReport report{event, -1, 0.0f, 0.0f};
    const bool silenced = !settings->soundEnabled() || (event.keyGroup == KeyGroup::modifier &&
                                                        settings->disableModifierSounds());
    if (!silenced) {
        {
            const auto maps = sampleMaps.read();
            const auto* list = find(maps->release, name(event.keyGroup));
            if (!list) {
                list = find(maps->release, "alpha");
            }
            if (list) {
                report.sampleIndex = (*list)[services.random.index(std::uint32_t(list->size()))];
            }
        }
        if (report.sampleIndex >= 0) {
            report.gain = 0.4f;
            report.pitchShift = 1.0f + pitchForKey(event.keyCode);
            audioEngine->play(report.sampleIndex, report.gain, report.pitchShift,
                              panFor(event.keyCode));
        }
    }
    releaseReporter.call(report);
}

} // namespace clavio
