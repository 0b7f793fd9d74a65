// ToccaCoordinator: construction, start/stop, timers, permission polling,
// calibration, observable state and usage pings. The keystroke pipeline is in
// tocca_coordinator_pipeline.cpp, pack loading in tocca_coordinator_packs.cpp.
#include "engine/pipeline/tocca_coordinator.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <utility>

#include "engine/core/log.h"
#include "engine/pipeline/tocca_coordinator_impl.h"
#include "engine/ports/audio_decoder.h"
#include "engine/ports/defaults_store.h"
#include "engine/ports/http_sender.h"
#include "engine/ports/key_source.h"
#include "engine/ports/machine_description.h"
#include "engine/ports/sensor_registry.h"
#include "engine/ports/termination.h"

namespace clavio {

namespace {

using namespace std::chrono_literals;

constexpr auto kHeartbeatInterval = 14400s;
constexpr auto kPermissionInterval = 2000ms;
constexpr auto kBaselineInterval = 100ms;
constexpr auto kKeyLevelsSaveInterval = 5min;
// With the refresh on demand: how long after the last press it keeps running,
// and the most passes one catch-up makes.
constexpr auto kBaselineActive = 3s;
constexpr std::uint64_t kBaselineCatchUpPasses = 50;
constexpr auto kDisplayInterval = 50ms;
constexpr auto kSensorRetryInterval = 2000ms;

// SplitMix64 over one atomic counter: each draw claims its own step with one
// fetch_add, so two threads may draw at once without a lock, and one thread
// drawing in a fixed order always sees the same numbers.
struct SplitMixRandom {
    explicit SplitMixRandom(std::uint64_t seed) : state(seed) {}
    std::uint64_t next() noexcept {
        std::uint64_t z = state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed) +
                          0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::atomic<std::uint64_t> state;
};

} // namespace

CoordinatorRandom CoordinatorRandom::seeded(std::uint64_t seed) {
    auto random = std::make_shared<SplitMixRandom>(seed);
    CoordinatorRandom draws;
    draws.index = [random](std::uint32_t n) -> std::uint32_t {
        // The high 32 bits scaled into [0, n): bias below 2^-32 per value.
        return std::uint32_t(((random->next() >> 32) * std::uint64_t(n)) >> 32);
    };
    draws.jitter = [random](float magnitude) -> float {
        if (!(magnitude > 0.0f)) {
            return 0.0f;
        }
        // 24 random bits over [0, 1], both ends included: the closed interval.
        const double unit = double(random->next() >> 40) / double((1u << 24) - 1);
        const float value = float(-double(magnitude) + 2.0 * double(magnitude) * unit);
        return value < -magnitude ? -magnitude : (value > magnitude ? magnitude : value);
    };
    return draws;
}

CoordinatorRandom CoordinatorRandom::fromDevice() {
    std::random_device device;
    return seeded((std::uint64_t(device()) << 32) ^ device());
}

// ---- construction ----

ToccaCoordinator::ToccaCoordinator() : _impl(std::make_unique<Impl>()) {}

ToccaCoordinator::~ToccaCoordinator() {
    if (_impl->settings) {
        _impl->settings->unsubscribe(_impl->settingsToken);
    }
}

std::shared_ptr<ToccaCoordinator> ToccaCoordinator::create(std::shared_ptr<ToccaSettings> settings,
                                                           CoordinatorServices services) {
    const CoordinatorDevices& devices = services.devices;
    if (!settings || !services.queues.main || !services.queues.classify || !devices.sensors ||
        !devices.keys || !devices.decoder || !devices.output) {
        logLine("[Clavio] Coordinator not created: it needs settings, both queues, a sensor "
                "registry, a key source, an audio decoder and an audio output");
        return nullptr;
    }
    std::shared_ptr<ToccaCoordinator> self(new ToccaCoordinator());
    Impl& d = *self->_impl;
    d.weakSelf = self;
    d.settings = std::move(settings);
    d.services = std::move(services);
    d.construct();
    return self;
}

void ToccaCoordinator::Impl::construct() {
    CoordinatorServices& s = services;
    const CoordinatorDevices& devices = s.devices;
    mainQueue = s.queues.main;
    if (!s.random.index || !s.random.jitter) {
        s.random = CoordinatorRandom::fromDevice();
    }

    // 1. Fields with initial values. The pinger owns the wall clock that
    // sessionStart is read from (tests move it to see a heartbeat on).
    pinger = std::move(s.pinger);
    sessionStart = pinger ? pinger->wallNow() : std::chrono::system_clock::now();
    classifyQueue = s.queues.classify;
    calibrationCollector = std::make_unique<CalibrationCollector>();
    keyLevels = std::make_unique<KeyLevels>();
    if (!s.keyLevelsFile.empty()) {
        if (auto error = loadKeyLevels(s.keyLevelsFile, *keyLevels)) {
            keyLevelsFileRefused = true;
            logLine("[Clavio] Per-key levels not read, learning afresh (the file is kept): " +
                    *error);
        }
    }

    // 2.-4. Settings (stored by create), then the parts.
    sensor = SPUSensor::create(devices.sensors);
    keyboard = KeyboardCaptureManager::create(devices.keys);
    audioEngine = std::make_unique<AudioEngine>(*devices.decoder, *devices.output);
    std::optional<std::filesystem::path> bundled;
    if (!s.bundledPacksFolder.empty()) {
        bundled = s.bundledPacksFolder;
    }
    packManager = std::make_unique<SoundPackManager>(std::move(bundled));
    macroRouter = std::make_unique<MacroRouter>(s.urlOpener);

    // 5. The classifier, chosen once.
    const ImpactConfig config = usableImpactConfig(settings->impactConfig(), refusedSettingLogged);
    if (settings->useAdaptiveClassifier()) {
        classifier = std::make_unique<AdaptivePeakClassifier>(config);
    } else {
        classifier = std::make_unique<SimplePeakClassifier>(config);
    }

    // 6. Availability (nobody observes yet).
    sensorAvailable = SPUSensor::isAvailable(*devices.sensors);
    strikeSource = currentStrikeSource();
    hasAccessibilityPermission = keyboard->hasPermission();

    // 7. Launch count and "launch" ping. Without a ping service nothing is
    // counted either: the counter exists only to be reported.
    if (pinger) {
        const std::int64_t launches = pinger->countLaunch();
        sendEvent("launch", {{"launches", launches}});
    }

    // 8. Heartbeat.
    heartbeatTimer = mainQueue->scheduleRepeating(kHeartbeatInterval, [weak = weakSelf] {
        if (const auto self = weak.lock()) {
            self->_impl->sendSessionEvent("heartbeat");
        }
    });

    // 9. Quit observer, never removed.
    if (s.termination) {
        s.termination->addQuitObserver([weak = weakSelf] {
            if (const auto self = weak.lock()) {
                self->_impl->saveKeyLevels();
                self->_impl->sendSessionEvent("quit");
            }
        });
    }

    // 10./11. Follow the strike-strength setting from now on. Start on the
    // next turn when sound is on, with or without an accelerometer (without
    // one every key plays at the fixed strength), and poll for the keyboard
    // permission.
    settingsToken = settings->subscribe([weak = weakSelf, queue = mainQueue](SettingsKey key) {
        const bool keySetting = key == SettingsKey::toggleShortcut ||
                                key == SettingsKey::stereoWidth || key == SettingsKey::outputDevice;
        if (key != SettingsKey::velocitySource && key != SettingsKey::microphoneDevice &&
            !keySetting) {
            return;
        }
        // Observers hear of a change before the value is stored: act on the
        // next turn, when the new value can be read.
        queue->post([weak, key, keySetting] {
            if (const auto self = weak.lock()) {
                if (keySetting) {
                    self->_impl->refreshKeySettings(key);
                } else if (key == SettingsKey::microphoneDevice) {
                    self->_impl->refreshMicrophone(false);
                } else {
                    self->_impl->refreshSensor(false);
                }
            }
        });
    });
    refreshKeySettings(std::nullopt);
    // Started with sound on, or with a mute shortcut set (the shortcut turns
    // sound back on, so its keys must be watched).
    const bool soundEnabled =
        settings->soundEnabled() || chord.load(std::memory_order_relaxed) != 0;
    startPosted = true;
    mainQueue->post([weak = weakSelf, soundEnabled] {
        if (const auto self = weak.lock()) {
            if (soundEnabled) {
                self->_impl->start();
            }
            self->_impl->startPermissionPolling();
        }
    });
}

// ---- strike source ----

std::string fixedStrengthPercent(float fixedVelocity) {
    return std::to_string(std::lround(usableFixedVelocity(fixedVelocity) * 100.0f)) + "%";
}

std::string describe(const StrikeSource& source) {
    if (source.mode == StrikeSource::Mode::fixed) {
        return "Fixed strength: " + (source.reason.empty() ? "no accelerometer" : source.reason);
    }
    if (source.mode == StrikeSource::Mode::microphone) {
        return "Measuring strikes with the microphone" +
               (source.sensorName.empty() ? std::string() : " " + source.sensorName);
    }
    std::string line = "Measuring strikes with " +
                       (source.sensorName.empty() ? "accelerometer" : source.sensorName);
    if (source.sampleRateHz > 0.0) {
        line += " at " + std::to_string(std::llround(source.sampleRateHz)) + " Hz";
    }
    return line;
}

StrikeSource ToccaCoordinator::Impl::currentStrikeSource() const {
    StrikeSource source;
    if (settings->velocitySource() == VelocitySource::fixed) {
        source.reason = "chosen in Settings";
        return source;
    }
    if (settings->velocitySource() == VelocitySource::microphone) {
        if (services.devices.microphone == nullptr) {
            source.reason = "no microphone";
        } else if (micPhase == MicPhase::running) {
            source.mode = StrikeSource::Mode::microphone;
            source.sensorName = micDeviceName;
            source.sampleRateHz = micRate;
        } else {
            source.reason = micReason.empty() ? "microphone unavailable" : micReason;
        }
        return source;
    }
    if (sensorPhase == SensorPhase::lost) {
        source.reason = "accelerometer lost";
        return source;
    }
    const auto info = sensorAvailable && sensorPhase != SensorPhase::unreadable
                          ? SPUSensor::deviceInfo(*services.devices.sensors)
                          : std::nullopt;
    if (!info) {
        source.reason = "no accelerometer";
        return source;
    }
    source.mode = StrikeSource::Mode::accelerometer;
    if (const auto it = info->find("Product"); it != info->end()) {
        if (const auto* text = std::get_if<std::string>(&it->second)) {
            source.sensorName = *text;
        }
    }
    if (const auto it = info->find("SampleRate"); it != info->end()) {
        if (const auto* rate = std::get_if<std::int64_t>(&it->second); rate && *rate > 0) {
            source.sampleRateHz = double(*rate);
        }
    }
    return source;
}

void ToccaCoordinator::Impl::updateStrikeSource() {
    StrikeSource next = currentStrikeSource();
    if (next != strikeSource) {
        assign(CoordinatorProperty::strikeSource, strikeSource, std::move(next));
    }
}

// Starts or stops the sensor as the setting and the running state ask, and
// logs the fixed strength when the pipeline settles on it. `starting`: from
// start(), which always says where strikes come from.
void ToccaCoordinator::Impl::refreshSensor(bool starting) {
    if (!isRunning && !starting) {
        updateStrikeSource();
        return;
    }
    const VelocitySource chosen = settings->velocitySource();
    const bool wanted = chosen != VelocitySource::fixed && chosen != VelocitySource::microphone;
    const bool wasChosen = strikeSource.reason == "chosen in Settings";
    refreshMicrophone(starting);
    if (chosen == VelocitySource::microphone) {
        if (sensorPhase != SensorPhase::idle) {
            sensor->stop();
            setSensorPhase(SensorPhase::idle);
        }
    } else if (!wanted) {
        if (sensorPhase != SensorPhase::idle) {
            sensor->stop();
            setSensorPhase(SensorPhase::idle);
        }
        if (starting || !wasChosen) {
            logLine("[Clavio] Strike strength fixed at " +
                    fixedStrengthPercent(settings->fixedVelocity()) + " (chosen in Settings)");
        }
    } else if (sensorPhase == SensorPhase::idle) {
        if (sensorAvailable) {
            sensor->start();
            setSensorPhase(SensorPhase::starting);
        } else if (starting || wasChosen) {
            logLine("[Clavio] No readable accelerometer: every key plays at a fixed strength of " +
                    fixedStrengthPercent(settings->fixedVelocity()));
        }
    }
    updateStrikeSource();
}

void ToccaCoordinator::Impl::sensorStatusChanged(SensorStatus status) {
    assign(CoordinatorProperty::sensorStatusValue, sensorStatusValue, status);
    // Idle: a late word from a run this coordinator ended. Stopped: its own stop.
    if (sensorPhase == SensorPhase::idle || status == SensorStatus::stopped) {
        return;
    }
    if (status == SensorStatus::running) {
        setSensorPhase(SensorPhase::running);
    } else if (sensorPhase == SensorPhase::running) {
        setSensorPhase(SensorPhase::lost);
    } else if (sensorPhase == SensorPhase::starting) {
        setSensorPhase(SensorPhase::unreadable);
    }
    updateStrikeSource();
}

void ToccaCoordinator::Impl::setSensorPhase(SensorPhase phase) {
    const SensorPhase previous = sensorPhase;
    if (phase == previous) {
        return;
    }
    sensorPhase = phase;
    measuring.store(phase == SensorPhase::starting || phase == SensorPhase::running,
                    std::memory_order_release);
    if (phase == SensorPhase::lost || phase == SensorPhase::unreadable) {
        if (!sensorRetryTimer.isValid()) {
            sensorRetryTimer =
                mainQueue->scheduleRepeating(kSensorRetryInterval, [weak = weakSelf] {
                    if (const auto self = weak.lock()) {
                        self->_impl->retrySensor();
                    }
                });
        }
    } else {
        sensorRetryTimer.invalidate();
    }

    if (phase == SensorPhase::running) {
        if (previous == SensorPhase::lost) {
            logLine("[Clavio] Accelerometer back: measuring strikes again");
        } else {
            logLine("[Clavio] " + describe(currentStrikeSource()));
        }
    } else if (phase == SensorPhase::lost) {
        logLine("[Clavio] Accelerometer lost: playing at a fixed strength until it returns");
    } else if (phase == SensorPhase::unreadable) {
        logLine("[Clavio] No readable accelerometer: every key plays at a fixed strength of " +
                fixedStrengthPercent(settings->fixedVelocity()));
    }
}

// ---- microphone ----

// Closes the capture device, if any, and forgets it was wanted.
void ToccaCoordinator::Impl::stopMicrophone() {
    if (mic) {
        mic->stop();
    }
    audioEngine->setOwnSoundEnvelope(false);
    micRetryTimer.invalidate();
    micMeasuring.store(false, std::memory_order_release);
    micOpen.store(false, std::memory_order_release);
    micPhase = MicPhase::idle;
}

// Starts or stops capture as the setting and the running state ask.
// `starting`: from start(). A change of the device restarts a running
// capture on the new one.
void ToccaCoordinator::Impl::refreshMicrophone(bool starting) {
    const bool wanted =
        (isRunning || starting) && settings->velocitySource() == VelocitySource::microphone;
    if (!wanted) {
        if (micPhase != MicPhase::idle) {
            stopMicrophone();
        }
        updateStrikeSource();
        return;
    }
    if (services.devices.microphone == nullptr) {
        if (micPhase != MicPhase::lost) {
            micPhase = MicPhase::lost;
            logLine("[Clavio] No microphone: every key plays at a fixed strength of " +
                    fixedStrengthPercent(settings->fixedVelocity()));
        }
        updateStrikeSource();
        return;
    }
    if (!mic) {
        makeMicParts();
    }
    if ((micPhase == MicPhase::running || micPhase == MicPhase::unhealthy) && !starting) {
        mic->stop(); // the device setting changed: open the new one
    }
    if (micPhase != MicPhase::lost || starting) {
        startMicrophone(false);
    }
    updateStrikeSource();
}

void ToccaCoordinator::Impl::makeMicParts() {
    mic = std::make_unique<MicStrikeSensor>();
    micClassifier = std::make_unique<AdaptivePeakClassifier>(microphoneConfig());
    canceller = std::make_unique<OwnSoundCanceller>(mic->ringBuffer(), audioEngine->ownSoundRing());
    if (isRunning) {
        // The running key handlers' context has no microphone yet.
        installKeyHandlers(makePipelineContext());
    }
}

void ToccaCoordinator::Impl::startMicrophone(bool retrying) {
    const MicrophoneStart started =
        mic->start(*services.devices.microphone, settings->microphoneDevice());
    if (!started.started) {
        if (!retrying) {
            micLost("microphone unavailable", "Microphone unavailable (" + started.error +
                                                  "): every key plays at a fixed "
                                                  "strength of " +
                                                  fixedStrengthPercent(settings->fixedVelocity()) +
                                                  " until it opens");
        }
        return;
    }
    const bool wasLost = micPhase == MicPhase::lost;
    micPhase = MicPhase::running;
    micReason.clear();
    micDeviceName = started.deviceName;
    micRate = started.sampleRate;
    micRetryTimer.invalidate();
    audioEngine->setOwnSoundEnvelope(true);
    micMeasuring.store(true, std::memory_order_release);
    micOpen.store(true, std::memory_order_release);
    if (isRunning) {
        // Its ticks learn the own-sound path and watch the device's health.
        startBaselineTimer();
    }
    logLine(wasLost ? "[Clavio] Microphone back: measuring strikes again"
                    : "[Clavio] " + describe(currentStrikeSource()) +
                          " (only a strike envelope is kept; no audio is stored or sent)");
    updateStrikeSource();
}

void ToccaCoordinator::Impl::micLost(std::string reason, const std::string& line) {
    mic->stop();
    audioEngine->setOwnSoundEnvelope(false);
    micMeasuring.store(false, std::memory_order_release);
    micOpen.store(false, std::memory_order_release);
    micPhase = MicPhase::lost;
    micReason = std::move(reason);
    logLine("[Clavio] " + line);
    if (!micRetryTimer.isValid()) {
        micRetryTimer = mainQueue->scheduleRepeating(kSensorRetryInterval, [weak = weakSelf] {
            if (const auto self = weak.lock()) {
                self->_impl->startMicrophone(true);
            }
        });
    }
    updateStrikeSource();
}

// Baseline tick, while capturing: a device that went away plays the fixed
// strength until a new start finds it; one that delivers only digital
// silence or clipping over two seconds stays open and plays the fixed
// strength until it hears properly again (closing and reopening it would
// only repeat the same two lines every few seconds).
void ToccaCoordinator::Impl::checkMicrophone() {
    if (micPhase != MicPhase::running && micPhase != MicPhase::unhealthy) {
        return;
    }
    const std::string fixed = fixedStrengthPercent(settings->fixedVelocity());
    if (mic->lost()) {
        micLost("microphone lost",
                "Microphone lost: playing at a fixed strength of " + fixed + " until it returns");
        return;
    }
    const MicStrikeSensor::Health health = mic->health(2.0);
    if (micPhase == MicPhase::unhealthy) {
        if (health == MicStrikeSensor::Health::ok) {
            micPhase = MicPhase::running;
            micReason.clear();
            audioEngine->setOwnSoundEnvelope(true);
            micMeasuring.store(true, std::memory_order_release);
            logLine("[Clavio] Microphone hears again: measuring strikes again");
            updateStrikeSource();
        }
        return;
    }
    const auto unhealthy = [&](std::string reason, const std::string& line) {
        micPhase = MicPhase::unhealthy;
        micReason = std::move(reason);
        micMeasuring.store(false, std::memory_order_release);
        audioEngine->setOwnSoundEnvelope(false);
        logLine("[Clavio] " + line);
        updateStrikeSource();
    };
    switch (health) {
    case MicStrikeSensor::Health::silent:
        unhealthy("microphone silent", "Microphone delivers only silence: playing at a fixed "
                                       "strength of " +
                                           fixed + " until it hears again");
        break;
    case MicStrikeSensor::Health::clipping:
        unhealthy("microphone clipping", "Microphone clipping: playing at a fixed strength of " +
                                             fixed + " until its level is lower");
        break;
    case MicStrikeSensor::Health::ok:
    case MicStrikeSensor::Health::pending:
        break;
    }
}

// While the sensor is lost or unreadable: a new run whenever the registry
// lists it, whose status then says whether it can be read.
void ToccaCoordinator::Impl::retrySensor() {
    if (!SPUSensor::isAvailable(*services.devices.sensors)) {
        return;
    }
    sensor->stop();
    sensor->start();
}

// ---- start / stop ----

void ToccaCoordinator::Impl::start() {
    if (isRunning) {
        return;
    }
    loadCurrentPack();

    audioEngine->setMasterVolume(
        usableSetting(SettingsKey::masterVolume, settings->masterVolume(), refusedSettingLogged));
    const bool audioStarted = audioEngine->start();

    std::size_t packs = 0;
    {
        const auto maps = sampleMaps.read();
        packs = maps->press.size();
    }
    logLine("[Clavio] packs=" + std::to_string(packs) + " audio=" + (audioStarted ? "OK" : "FAIL") +
            " sensor=" + (sensorAvailable ? "YES" : "NO"));

    sensor->setOnStatusChange([weak = weakSelf, queue = mainQueue](SensorStatus status) {
        queue->post([weak, status] {
            if (const auto self = weak.lock()) {
                self->_impl->sensorStatusChanged(status);
            }
        });
    });
    refreshSensor(true);

    forgetHeldKeys();
    installKeyHandlers(makePipelineContext());

    const bool captureStarted = keyboard->start();
    assign(CoordinatorProperty::hasAccessibilityPermission, hasAccessibilityPermission,
           captureStarted);

    if (baselineOnDemand && !micOpen.load(std::memory_order_acquire)) {
        // Nothing refreshes until the first press catches up.
        lastBaselineRefresh = hostTicks();
        baselineIdle.store(true, std::memory_order_release);
    } else {
        startBaselineTimer();
    }
    if (!services.keyLevelsFile.empty()) {
        keyLevelsTimer = mainQueue->scheduleRepeating(kKeyLevelsSaveInterval, [weak = weakSelf] {
            if (const auto self = weak.lock()) {
                self->_impl->saveKeyLevels();
            }
        });
    }
    assign(CoordinatorProperty::isRunning, isRunning, true);
    startDisplay();
}

void ToccaCoordinator::Impl::stop() {
    keyboard->stop();
    sensor->stop();
    setSensorPhase(SensorPhase::idle);
    stopMicrophone();
    audioEngine->stop();
    baselineTimer.invalidate();
    uiTimer.invalidate();
    keyLevelsTimer.invalidate();
    saveKeyLevels();
    assign(CoordinatorProperty::isRunning, isRunning, false);
}

// ---- per-key levels (main thread) ----

void ToccaCoordinator::Impl::saveKeyLevels() {
    const std::filesystem::path& file = services.keyLevelsFile;
    if (file.empty() || keyLevels->unsaved() == 0) {
        return;
    }
    if (keyLevelsFileRefused) {
        // A refused file gives way only to levels worth keeping, and is
        // moved aside, not overwritten.
        if (!keyLevels->anyKeyLearned()) {
            return;
        }
        std::filesystem::path aside = file;
        aside += ".refused";
        std::error_code ec;
        std::filesystem::rename(file, aside, ec);
        if (ec && ec != std::errc::no_such_file_or_directory) {
            logLine("[Clavio] Per-key levels not saved: the refused " + file.string() +
                    " could not be moved aside: " + ec.message());
            return;
        }
        keyLevelsFileRefused = false;
    }
    if (auto error = clavio::saveKeyLevels(file, *keyLevels)) {
        logLine("[Clavio] Per-key levels not saved: " + *error);
        return;
    }
    keyLevels->markSaved();
}

void ToccaCoordinator::Impl::resetKeyLevels() {
    keyLevels->reset();
    micKeyLevels->reset();
    const std::filesystem::path& file = services.keyLevelsFile;
    if (file.empty()) {
        return;
    }
    std::error_code ec;
    if (!std::filesystem::remove(file, ec) && ec) {
        logLine("[Clavio] Per-key levels: " + file.string() + " not removed: " + ec.message());
        return;
    }
    keyLevelsFileRefused = false;
}

// ---- timers ----

void ToccaCoordinator::Impl::startPermissionPolling() {
    permissionTimer = mainQueue->scheduleRepeating(kPermissionInterval, [weak = weakSelf] {
        if (const auto self = weak.lock()) {
            self->_impl->permissionTick();
        }
    });
}

void ToccaCoordinator::Impl::permissionTick() {
    assign(CoordinatorProperty::hasAccessibilityPermission, hasAccessibilityPermission,
           keyboard->hasPermission());
    if (!keyboard->isRunning()) {
        if (!keyboard->start()) {
            return;
        }
        logLine("[Clavio] Keyboard capture started after permission grant");
        assign(CoordinatorProperty::hasAccessibilityPermission, hasAccessibilityPermission, true);
    }
    permissionTimer.invalidate();
}

void ToccaCoordinator::Impl::startBaselineTimer() {
    if (baselineTimer.isValid()) {
        return;
    }
    baselineTimer = mainQueue->scheduleRepeating(kBaselineInterval, [weak = weakSelf] {
        if (const auto self = weak.lock()) {
            self->_impl->baselineTick();
        }
    });
}

void ToccaCoordinator::Impl::baselineTick() {
    checkMicrophone();
    // The update runs on the classify queue, so it never overlaps a
    // classification: the queue is the classifier's only ordering. On
    // demand, the same task decides that typing stopped, so a press queued
    // behind it sees the refresh stopped and catches up.
    classifyQueue->submit([weak = weakSelf] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        Impl& d = *self->_impl;
        d.classifier->updateBaseline(d.sensor->ringBuffer());
        const std::uint64_t now = hostTicks();
        d.lastBaselineRefresh = now;
        // The microphone's canceller learns and its health is checked on
        // every tick, so the refresh keeps running while it listens.
        const bool listening = d.micMeasuring.load(std::memory_order_acquire) && d.canceller;
        const bool micOpen = d.micOpen.load(std::memory_order_acquire);
        if (listening) {
            d.canceller->update(now);
            d.canceller->learn(now);
            d.micClassifier->updateBaseline(d.canceller->correctedRing());
            // Refreshed now: once the microphone stops, the refresh runs
            // out like after a last press.
        }
        if (micOpen) {
            d.baselineIdle.store(false, std::memory_order_release);
            d.lastPressTicks = now;
        }
        if (micOpen || !d.baselineOnDemand || d.baselineIdle.load(std::memory_order_acquire) ||
            now - d.lastPressTicks <
                std::uint64_t(std::chrono::nanoseconds(kBaselineActive).count())) {
            return;
        }
        d.baselineIdle.store(true, std::memory_order_release);
        d.mainQueue->post([weak] {
            if (const auto self = weak.lock()) {
                self->_impl->baselineTimer.invalidate();
            }
        });
    });
}

void ToccaCoordinator::Impl::catchUpBaseline() {
    const std::uint64_t now = hostTicks();
    lastPressTicks = now;
    if (!baselineOnDemand || !baselineIdle.load(std::memory_order_acquire)) {
        return;
    }
    // The refreshes missed while nobody typed, each a pass over the recent
    // samples, at most enough to settle the moving average.
    const auto interval = std::uint64_t(std::chrono::nanoseconds(kBaselineInterval).count());
    const std::uint64_t missed = std::clamp<std::uint64_t>((now - lastBaselineRefresh) / interval,
                                                           1, kBaselineCatchUpPasses);
    for (std::uint64_t i = 0; i < missed; ++i) {
        classifier->updateBaseline(sensor->ringBuffer());
    }
    lastBaselineRefresh = now;
    baselineIdle.store(false, std::memory_order_release);
    mainQueue->post([weak = weakSelf] {
        if (const auto self = weak.lock()) {
            Impl& d = *self->_impl;
            if (d.isRunning) {
                d.startBaselineTimer();
            }
        }
    });
}

void ToccaCoordinator::Impl::startDisplay() {
    if (!isRunning || !displayWatched || uiTimer.isValid()) {
        return;
    }
    displayTick();
    uiTimer = mainQueue->scheduleRepeating(kDisplayInterval, [weak = weakSelf] {
        if (const auto self = weak.lock()) {
            self->_impl->displayTick();
        }
    });
}

void ToccaCoordinator::Impl::displayTick() {
    assign(CoordinatorProperty::totalSamples, totalSamples, sensor->totalSamples());
    if (const auto latest = sensor->latestSample()) {
        assign(CoordinatorProperty::recentMagnitude, recentMagnitude, latest->magnitude);
    }
    assign(CoordinatorProperty::hasAccessibilityPermission, hasAccessibilityPermission,
           keyboard->hasPermission());
}

// ---- calibration ----

ImpactConfig ToccaCoordinator::Impl::microphoneConfig() {
    return microphoneImpactConfig(
        usableImpactConfig(settings->impactConfig(), refusedSettingLogged),
        usableSetting(SettingsKey::microphoneHardCap, settings->microphoneHardCap(),
                      refusedSettingLogged));
}

void ToccaCoordinator::Impl::applyCalibration(const CalibrationResult& result) {
    // The thresholds are fractions of the largest score and fit either
    // source; the cap is on the scale of the source that measured, so it
    // goes to that source's own setting.
    settings->setSoftThreshold(result.recommendedSoftThreshold);
    settings->setMediumThreshold(result.recommendedMediumThreshold);
    settings->setHardThreshold(result.recommendedHardThreshold);
    if (result.source == ScoreSource::microphone) {
        settings->setMicrophoneHardCap(result.recommendedHardCap);
    } else {
        settings->setHardCap(result.recommendedHardCap);
    }
    // Handed over on the classify queue, behind every classification already
    // queued, so no press is measured half with the old and half with the
    // new configuration (the classifiers also guard the swap themselves).
    // Both classifiers get the new thresholds; the microphone's exists once
    // the microphone was first wanted, and later takes its configuration
    // from the settings.
    auto config = std::make_shared<const ImpactConfig>(
        usableImpactConfig(settings->impactConfig(), refusedSettingLogged));
    auto micConfig = std::make_shared<const ImpactConfig>(microphoneConfig());
    ImpactClassifier* mic = micClassifier.get();
    const auto apply = [this, config, micConfig, mic] {
        classifier->setConfig(*config);
        if (mic) {
            mic->setConfig(*micConfig);
        }
    };
    const bool queued = classifyQueue->submit([weak = weakSelf, apply] {
        if (const auto self = weak.lock()) {
            apply();
        }
    });
    if (!queued) {
        // A refusing queue runs nothing more; apply at once rather than lose it.
        apply();
    }
    settings->save();
}

// ---- pings ----

void ToccaCoordinator::Impl::sendEvent(const std::string& event, const nlohmann::json& extra) {
    if (!pinger) {
        return;
    }
    const PingContext context{settings->selectedPackName(), sensorAvailable,
                              settings->masterVolume(), settings->soundEnabled()};
    pinger->sendEvent(event, extra, context);
}

void ToccaCoordinator::Impl::sendSessionEvent(const std::string& event) {
    if (!pinger) {
        return;
    }
    std::map<std::string, std::int64_t> tiers;
    for (VelocityTier tier : kAllVelocityTiers) {
        if (tier != VelocityTier::silent || silentCounted.load(std::memory_order_acquire)) {
            tiers[std::string(name(tier))] =
                sessionTierCounts[std::size_t(rawValue(tier))].load(std::memory_order_relaxed);
        }
    }
    sendEvent(event,
              UsagePinger::sessionExtra(pinger->wallNow() - sessionStart,
                                        sessionKeystrokes.load(std::memory_order_relaxed), tiers));
}

// ---- public front ----

void ToccaCoordinator::start() {
    _impl->start();
}
void ToccaCoordinator::stop() {
    _impl->stop();
}
void ToccaCoordinator::setBaselineOnDemand(bool onDemand) {
    _impl->baselineOnDemand = onDemand;
}
void ToccaCoordinator::setDisplayWatched(bool watched) {
    _impl->displayWatched = watched;
    if (watched) {
        _impl->startDisplay();
    } else {
        _impl->uiTimer.invalidate();
    }
}
void ToccaCoordinator::applyCalibration(const CalibrationResult& result) {
    _impl->applyCalibration(result);
}
void ToccaCoordinator::switchPack(const std::string& folderName) {
    _impl->switchPack(folderName);
}
void ToccaCoordinator::reloadPack() {
    _impl->loadCurrentPack();
}
void ToccaCoordinator::loadCurrentPack() {
    _impl->loadCurrentPack();
}
void ToccaCoordinator::sendEvent(const std::string& event, const nlohmann::json& extra) {
    _impl->sendEvent(event, extra);
}

bool ToccaCoordinator::isRunning() const noexcept {
    return _impl->isRunning;
}
SensorStatus ToccaCoordinator::sensorStatusValue() const noexcept {
    return _impl->sensorStatusValue;
}
bool ToccaCoordinator::hasAccessibilityPermission() const noexcept {
    return _impl->hasAccessibilityPermission;
}
bool ToccaCoordinator::sensorAvailable() const noexcept {
    return _impl->sensorAvailable;
}
std::uint64_t ToccaCoordinator::totalSamples() const noexcept {
    return _impl->totalSamples;
}
std::optional<KeyEvent> ToccaCoordinator::lastKeyEvent() const {
    return _impl->lastKeyEvent;
}
std::optional<ImpactResult> ToccaCoordinator::lastImpact() const {
    return _impl->lastImpact;
}
VelocityTier ToccaCoordinator::lastTier() const noexcept {
    return _impl->lastTier;
}
float ToccaCoordinator::recentMagnitude() const noexcept {
    return _impl->recentMagnitude;
}
StrikeSource ToccaCoordinator::strikeSource() const {
    return _impl->strikeSource;
}

ObserverToken ToccaCoordinator::subscribe(ObserverList<CoordinatorProperty>::Callback callback) {
    return _impl->observers.subscribe(std::move(callback));
}
void ToccaCoordinator::unsubscribe(ObserverToken token) {
    _impl->observers.unsubscribe(token);
}

std::int64_t ToccaCoordinator::sessionKeystrokes() const noexcept {
    return _impl->sessionKeystrokes.load(std::memory_order_relaxed);
}

std::map<std::string, std::int64_t> ToccaCoordinator::sessionTierCounts() const {
    std::map<std::string, std::int64_t> counts;
    for (VelocityTier tier : kAllVelocityTiers) {
        if (tier != VelocityTier::silent || _impl->silentCounted.load(std::memory_order_acquire)) {
            counts[std::string(name(tier))] =
                _impl->sessionTierCounts[std::size_t(rawValue(tier))].load(
                    std::memory_order_relaxed);
        }
    }
    return counts;
}

ToccaSettings& ToccaCoordinator::settings() const noexcept {
    return *_impl->settings;
}
SPUSensor& ToccaCoordinator::sensor() const noexcept {
    return *_impl->sensor;
}
KeyboardCaptureManager& ToccaCoordinator::keyboard() const noexcept {
    return *_impl->keyboard;
}
AudioEngine& ToccaCoordinator::audioEngine() const noexcept {
    return *_impl->audioEngine;
}
const std::optional<std::string>& ToccaCoordinator::packRefusal() const noexcept {
    return _impl->packRefusal;
}
SoundPackManager& ToccaCoordinator::packManager() const noexcept {
    return *_impl->packManager;
}
MacroRouter& ToccaCoordinator::macroRouter() const noexcept {
    return *_impl->macroRouter;
}
CalibrationCollector& ToccaCoordinator::calibration() const noexcept {
    return *_impl->calibrationCollector;
}

const KeyLevels& ToccaCoordinator::keyLevels() const noexcept {
    return *_impl->keyLevels;
}

void ToccaCoordinator::resetKeyLevels() {
    _impl->resetKeyLevels();
}

void ToccaCoordinator::setPressReporter(std::function<void(const PressReport&)> reporter) {
    _impl->pressReporter.set(std::move(reporter));
}
void ToccaCoordinator::setReleaseReporter(std::function<void(const ReleaseReport&)> reporter) {
    _impl->releaseReporter.set(std::move(reporter));
}

} // namespace clavio
