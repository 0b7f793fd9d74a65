// The coordinator's state, shared by its three source files: lifecycle
// (tocca_coordinator.cpp), keystroke pipeline (tocca_coordinator_pipeline.cpp)
// and pack loading (tocca_coordinator_packs.cpp).
//
// Threading: see tocca_coordinator.h. In short: observable fields and timer
// handles belong to the main thread; session counters are atomics written on
// the classify queue; the sample maps are an immutable snapshot in a
// SnapshotCell; everything the keyboard thread and the classify queue need
// from one start() sits in an immutable PipelineContext.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/audio/audio_engine.h"
#include "engine/keyboard/key_layout.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/packs/sound_pack_manager.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/pipeline/usage_pinger.h"
#include "engine/ports/audio_decoder.h"
#include "engine/ports/classify_queue.h"
#include "engine/ports/main_queue.h"
#include "engine/runtime/atomic_handler.h"
#include "engine/runtime/observer_list.h"
#include "engine/runtime/snapshot_cell.h"
#include "engine/sensing/calibration.h"
#include "engine/sensing/impact_classifier.h"
#include "engine/sensing/key_levels.h"
#include "engine/sensing/mic_strike_sensor.h"
#include "engine/sensing/own_sound_canceller.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/settings/macro_router.h"
#include "engine/settings/setting_limits.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

// The sample indices of one loaded pack. Built whole on the main thread and
// never changed once published. Lookups use string views (std::less<>), so
// a reader builds no key string.
struct SampleMaps {
    using Map = std::map<std::string, std::vector<std::int32_t>, std::less<>>;
    Map press;   // by sample key, "alpha_soft"
    Map release; // by key group name, "alpha"
};

// "soft" ... "slam" by the layer tier's raw value minus one; silent reads soft.
std::string_view sampleTierName(VelocityTier tier) noexcept;
// "alpha_soft" ... "other_slam", without building a string.
std::string_view sampleKey(KeyGroup group, VelocityTier tier) noexcept;

// What one start() hands to the key-down handler and its classification
// steps. Immutable; shared by the handler and every queued step, so a step
// queued before a restart keeps the values it was scheduled with. The part
// pointers are used only after the coordinator has been locked through
// `coordinator`, which keeps every part alive.
struct PipelineContext {
    std::weak_ptr<ToccaCoordinator> coordinator;
    double searchPostMs = 20.0;
    std::uint64_t delayTicks = 0; // trunc(searchPostMs) + 10 ms
    // How long a press keeps the sensor stream unbatched: past the end of
    // its search window (searchPostMs + 30 ms).
    double hurryHoldSeconds = 0.05;
    ClassifyQueue* classifyQueue = nullptr;
    ImpactClassifier* classifier = nullptr;
    const TCARingBuffer* ringBuffer = nullptr;
    // The microphone's classifier and the envelope it reads, Clavio's own
    // sound taken out; null until the microphone was first wanted.
    ImpactClassifier* micClassifier = nullptr;
    OwnSoundCanceller* canceller = nullptr;
    CalibrationCollector* calibrationCollector = nullptr;
    KeyLevels* keyLevels = nullptr;
    KeyLevels* micKeyLevels = nullptr;
    MacroRouter* macroRouter = nullptr;
};

struct ToccaCoordinator::Impl {
    // The services come first, so they are destroyed after the parts that
    // use them.
    CoordinatorServices services;
    std::unique_ptr<UsagePinger> pinger; // null: no pings
    MainQueue* mainQueue = nullptr;
    std::weak_ptr<ToccaCoordinator> weakSelf;
    ObserverList<CoordinatorProperty> observers;

    // The fields of the data model, in its order.
    std::chrono::system_clock::time_point sessionStart;
    std::atomic<std::int64_t> sessionKeystrokes{0};
    // Per tier raw value; "silent" is listed once it was counted.
    std::array<std::atomic<std::int64_t>, 5> sessionTierCounts{};
    std::atomic<bool> silentCounted{false};
    TimerHandle heartbeatTimer;

    // Observable (main thread).
    bool isRunning = false;
    SensorStatus sensorStatusValue = SensorStatus::stopped;
    bool hasAccessibilityPermission = false;
    bool sensorAvailable = false;
    std::uint64_t totalSamples = 0;
    std::optional<KeyEvent> lastKeyEvent;
    std::optional<ImpactResult> lastImpact;
    VelocityTier lastTier = VelocityTier::soft;
    float recentMagnitude = 0.0f;
    StrikeSource strikeSource;

    std::shared_ptr<ToccaSettings> settings;
    std::shared_ptr<SPUSensor> sensor;
    std::shared_ptr<KeyboardCaptureManager> keyboard;
    std::unique_ptr<AudioEngine> audioEngine;
    std::unique_ptr<SoundPackManager> packManager;
    std::unique_ptr<MacroRouter> macroRouter;
    ClassifyQueue* classifyQueue = nullptr;
    std::unique_ptr<ImpactClassifier> classifier;
    std::unique_ptr<CalibrationCollector> calibrationCollector;
    std::unique_ptr<KeyLevels> keyLevels;
    // The microphone's own key levels: learned afresh each run, not stored.
    std::unique_ptr<KeyLevels> micKeyLevels = std::make_unique<KeyLevels>();
    // Main thread. The file held something the levels refused: it is kept
    // as it was until learning has a key of its own to save, and then moved
    // aside (".refused") rather than overwritten.
    bool keyLevelsFileRefused = false;
    TimerHandle keyLevelsTimer; // while running with a levels file
    TimerHandle baselineTimer;  // main thread
    bool baselineOnDemand = false;
    // Classify queue: the refresh is stopped, the last refresh, the last press.
    std::atomic<bool> baselineIdle{false};
    std::uint64_t lastBaselineRefresh = 0;
    std::uint64_t lastPressTicks = 0;
    TimerHandle uiTimer; // only while running and displayWatched
    bool displayWatched = true;
    SnapshotCell<SampleMaps> sampleMaps{std::make_unique<const SampleMaps>()};
    TimerHandle permissionTimer;

    // The accelerometer's part in this run (main thread). `idle`: not
    // started (not running, no sensor, or the fixed strength chosen);
    // `starting`: started, no report stream yet; `lost`: it ran and then
    // failed; `unreadable`: it failed before it ever ran. While lost or
    // unreadable, sensorRetryTimer restarts it every 2 s while the registry
    // lists it.
    enum class SensorPhase { idle, starting, running, lost, unreadable };
    SensorPhase sensorPhase = SensorPhase::idle;
    TimerHandle sensorRetryTimer;
    ObserverToken settingsToken = 0;
    // Whether presses are measured (classify queue reads, main thread
    // writes): the sensor is starting or running.
    std::atomic<bool> measuring{false};

    // The microphone's part (main thread), for velocitySource "microphone":
    // `running` while it captures and is healthy; `lost` when it could not be
    // opened, went away, or delivered silence or clipping, with
    // micRetryTimer starting it again every 2 s until it runs.
    // unhealthy: open, but silent or clipping; measured again once it hears.
    enum class MicPhase { idle, running, unhealthy, lost };
    MicPhase micPhase = MicPhase::idle;
    // Any thread: a capture device is open (running or unhealthy), so the
    // refresh keeps ticking to learn and to watch its health.
    std::atomic<bool> micOpen{false};
    std::string micReason; // why it is lost: the StrikeSource reason
    std::string micDeviceName;
    double micRate = 0.0;
    // Made when the microphone is first wanted (a quarter of a megabyte of
    // rings each); kept until the coordinator goes.
    std::unique_ptr<MicStrikeSensor> mic;
    std::unique_ptr<ImpactClassifier> micClassifier;
    std::unique_ptr<OwnSoundCanceller> canceller;
    TimerHandle micRetryTimer;
    // Classify queue reads, main thread writes: presses are measured from
    // the microphone.
    std::atomic<bool> micMeasuring{false};

    AtomicHandler<void(const PressReport&)> pressReporter;
    AtomicHandler<void(const ReleaseReport&)> releaseReporter;
    // One log line per run of refused setting values, not one per press.
    SettingLogFlags refusedSettingLogged{};

    // The mute shortcut and the stereo width as the key threads use them,
    // checked and stored by the main thread whenever the settings change
    // (refreshKeySettings). chord: key code << 32 | modifier flags, 0 none.
    std::atomic<std::uint64_t> chord{0};
    std::atomic<float> panWidth{0.0f};
    // The chord watcher's state: the capture thread only (one tap thread at
    // a time). Non-modifier keys held now (up to 8 are tracked), the chord
    // key whose repeats and release stay silent, and whether the modifiers
    // held when the chord fired stay silent until all are released.
    std::array<std::uint16_t, 8> heldKeys{};
    std::size_t heldCount = 0;
    std::optional<std::uint16_t> swallowedKey;
    bool silenceChordModifiers = false;
    // Main thread: the first start has been posted (a shortcut set before
    // that waits for it).
    bool startPosted = false;

    // Lifecycle (main thread).
    StrikeSource currentStrikeSource() const;
    void updateStrikeSource();
    void refreshSensor(bool starting);
    void sensorStatusChanged(SensorStatus status);
    void setSensorPhase(SensorPhase phase);
    void retrySensor();
    void refreshMicrophone(bool starting);
    void makeMicParts();
    void startMicrophone(bool retrying);
    void micLost(std::string reason, const std::string& line);
    void checkMicrophone();
    void stopMicrophone();
    void construct();
    void start();
    void stop();
    void startPermissionPolling();
    void permissionTick();
    void baselineTick();
    void startBaselineTimer();
    // Classify queue.
    void catchUpBaseline();
    void displayTick();
    void startDisplay();
    void applyCalibration(const CalibrationResult& result);
    // The microphone classifier's configuration from the current settings.
    ImpactConfig microphoneConfig();
    void saveKeyLevels();
    void resetKeyLevels();
    void sendEvent(const std::string& event, const nlohmann::json& extra);
    void sendSessionEvent(const std::string& event);
    // One key, or all three (toggleShortcut, stereoWidth, outputDevice).
    void refreshKeySettings(std::optional<SettingsKey> key);
    void refreshChord();
    bool toggleSound();
    void previewPack();

    // Observable writes (main thread): observers first, then the value.
    template <class T> void assign(CoordinatorProperty property, T& field, T value) {
        observers.notify(property);
        field = std::move(value);
    }

    // Pipeline.
    std::shared_ptr<const PipelineContext> makePipelineContext();
    void installKeyHandlers(std::shared_ptr<const PipelineContext> context);
    static void keyDown(const std::shared_ptr<const PipelineContext>& context,
                        const KeyEvent& event) noexcept;
    static void checkPress(const std::shared_ptr<const PipelineContext>& context, KeyEvent event,
                           std::uint64_t deadline);
    static void classifyPress(const PipelineContext& context, KeyEvent event,
                              std::uint64_t windowEnd = UINT64_MAX);
    void keyUp(const KeyEvent& event) noexcept;
    void recordKeystroke(VelocityTier tier) noexcept;
    // Capture thread. True when the event belongs to the mute shortcut (it
    // then must not sound); a completed chord queues the toggle.
    bool watchChord(const KeyEvent& event, bool down) noexcept;
    void forgetHeldKeys() noexcept;
    float panFor(std::uint16_t keyCode) const noexcept {
        return keyStereoPosition(keyCode) * panWidth.load(std::memory_order_relaxed);
    }
    void publish(const KeyEvent& event, const ImpactResult& result);

    // Packs (main thread).
    // False when the pack was refused (its decoded audio over the limits of
    // DecodeLimits): one log line, and the pack in use stays.
    bool loadCurrentPack();
    std::optional<std::string> packRefusal; // main thread
    void switchPack(const std::string& folderName);
};

} // namespace clavio
