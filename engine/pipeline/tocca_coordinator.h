// ToccaCoordinator: the one object that owns and wires the working parts
// (sensor, keyboard capture, classifier, mixer, pack catalogue, macro router,
// calibration collector) and runs the keystroke pipeline.
//
// Threading contract:
// - Construction, start(), stop(), applyCalibration(), switchPack(),
//   reloadPack(), every timer tick and every write of an observable property
//   run on the main queue's thread. Observers are notified there, before the
//   property changes (willChange), and may read the new value on the next
//   turn or through the change record.
// - The key-down and key-up handlers run on the keyboard capture thread; the
//   classification step and baseline updates run on the classify queue.
//   Both read the sample maps through an immutable snapshot swapped in whole
//   by the main thread (never mutated while another thread reads it).
// - The coordinator lives in a std::shared_ptr; every closure handed to a
//   timer, queue, callback or observer holds it weakly.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/core_types.h"
#include "engine/pipeline/usage_pinger.h"
#include "engine/runtime/observer_list.h"
#include "engine/sensing/calibration.h"

#include <nlohmann/json.hpp>

namespace clavio {

class AudioEngine;
class AudioDecoder;
class AudioOutput;
class CalibrationCollector;
class KeyLevels;
class ClassifyQueue;
class DefaultsStore;
class HttpSender;
class ImpactClassifier;
class KeySource;
class KeyboardCaptureManager;
class MachineDescription;
class MacroRouter;
class MainQueue;
class Microphone;
class SensorRegistry;
class SoundPackManager;
class SPUSensor;
class TerminationNotifier;
class ToccaSettings;
class UrlOpener;

// What the coordinator is given; it builds nothing of the platform itself.
// The composition roots fill it: app/main.cpp with this machine's devices,
// cli/cli_services.cpp for the commands, the offline renderer with virtual
// time and replay sources, tests with their rigs. Non-owning pointers must
// outlive the coordinator.

// The two queues: the main thread's (timers, observable writes) and the
// serial classify queue. Required.
struct CoordinatorQueues {
    MainQueue* main = nullptr;
    ClassifyQueue* classify = nullptr;
};

// Where key events and accelerometer reports come from and where sound goes.
// Required; a machine without a sensor passes a registry with no service.
struct CoordinatorDevices {
    std::shared_ptr<SensorRegistry> sensors;
    std::shared_ptr<KeySource> keys;
    const AudioDecoder* decoder = nullptr;
    AudioOutput* output = nullptr;
    Microphone* microphone =
        nullptr; // null: no capture device (velocitySource "microphone" plays fixed)
};

// Uniform integer in [0, n) and uniform float in [-m, m], for the sample
// choice and the gain and pitch jitter. Called on the classify queue and the
// keyboard thread; both functions of one generator are lock-free and
// allocation-free and may be called from two threads at once.
struct CoordinatorRandom {
    std::function<std::uint32_t(std::uint32_t n)> index;
    std::function<float(float magnitude)> jitter;

    // The same seed gives the same draws in the same order.
    static CoordinatorRandom seeded(std::uint64_t seed);
    // Seeded from std::random_device.
    static CoordinatorRandom fromDevice();
};

struct CoordinatorServices {
    CoordinatorQueues queues;
    CoordinatorDevices devices;
    CoordinatorRandom random;                   // empty: CoordinatorRandom::fromDevice()
    std::unique_ptr<UsagePinger> pinger;        // null: no pings, no launch count
    TerminationNotifier* termination = nullptr; // null: no quit observer
    UrlOpener* urlOpener = nullptr;             // null: macro openURL actions do nothing
    std::filesystem::path bundledPacksFolder;   // <resources>/SoundPacks; empty: none
    // Where the per-key strike levels are read at construction and saved
    // (on stop, on quit, every few minutes while they change). Empty: they
    // start from nothing and stay in memory, so an offline run is the same
    // every time.
    std::filesystem::path keyLevelsFile;
};

// The observable properties, for observers.
enum class CoordinatorProperty {
    isRunning,
    sensorStatusValue,
    hasAccessibilityPermission,
    sensorAvailable,
    totalSamples,
    lastKeyEvent,
    lastImpact,
    lastTier,
    recentMagnitude,
    strikeSource,
};

// Where the strength of the presses comes from right now.
struct StrikeSource {
    enum class Mode { fixed, accelerometer, microphone };
    Mode mode = Mode::fixed;
    // Accelerometer mode: the sensor's product name. Microphone mode: the
    // capture device's name (empty when the sound system did not say).
    std::string sensorName;
    double sampleRateHz = 0.0; // measuring modes: 0 when unknown
    // Fixed mode: "no accelerometer", "chosen in Settings", "accelerometer
    // lost", "no microphone", "microphone unavailable", "microphone lost",
    // "microphone silent" or "microphone clipping".
    std::string reason;

    friend bool operator==(const StrikeSource&, const StrikeSource&) = default;
};

// The panel's status line: "Fixed strength: no accelerometer",
// "Measuring strikes with <name> at <rate> Hz" (the rate left out when 0) or
// "Measuring strikes with the microphone <name>".
std::string describe(const StrikeSource& source);

// The fixed strength the `fixedVelocity` setting plays at, as the log lines
// and the command line say it: "50%".
std::string fixedStrengthPercent(float fixedVelocity);

class ToccaCoordinator : public std::enable_shared_from_this<ToccaCoordinator> {
public:
    // Main thread. Builds every part in the documented order, counts the
    // launch, sends the "launch" ping, starts the heartbeat timer, registers
    // the quit observer and posts start()/permission polling when the
    // sensor exists. Null (with one log line) when the settings, a queue or
    // a device service is missing.
    static std::shared_ptr<ToccaCoordinator> create(std::shared_ptr<ToccaSettings> settings,
                                                    CoordinatorServices services);
    ~ToccaCoordinator();

    // Main thread.
    void start();
    void stop();
    // Main thread. Whether a view that shows the display values (the sample
    // count, the latest magnitude, the keyboard access) is open. The 20 Hz
    // display refresh runs only while one is, so a hidden panel costs no
    // wake-ups; opening one refreshes the values at once. On by default, as
    // front ends without a panel (the command line, the offline render) rely
    // on it; the tray application turns it off until its panel shows.
    void setDisplayWatched(bool watched);
    // Main thread, before start(). Whether the baseline is refreshed only
    // while keys are being pressed: the 10 Hz refresh stops a few seconds
    // after the last press, and the next press first brings the baseline up
    // to date (one pass over the recent samples per refresh missed, enough
    // to settle it) before it is classified. Off by default, which keeps
    // the refresh running always (the offline render's exact schedule); the
    // tray application turns it on, so an idle session costs no wake-ups.
    void setBaselineOnDemand(bool onDemand);
    void applyCalibration(const CalibrationResult& result);
    void switchPack(const std::string& folderName);
    void reloadPack();
    // The menu's pack list sets the name, saves and calls this itself.
    void loadCurrentPack();
    // Why the last pack load was refused (a file or the pack over the
    // decoded-audio limits); none after a load that was not.
    const std::optional<std::string>& packRefusal() const noexcept;
    // Plays a short phrase of the loaded pack, four presses 120 ms apart
    // from soft to hard, so a pack can be heard when it is chosen. Nothing
    // when sound is off (checked again before each press) or no pack loaded.
    void previewPack();
    // The enable switch and the mute shortcut: inverts soundEnabled, saves,
    // sends one "sound_toggle" usage event with {"enabled": new value}, and
    // starts the coordinator when sound is now on and it is not running.
    // Turning sound off never stops it (playback is silenced instead).
    // Returns the new value.
    bool toggleSound();
    // Main thread. The playback devices the output lists now (none when it
    // cannot tell), for the device choice.
    std::vector<std::string> outputDeviceNames() const;
    // Main thread. The capture devices the microphone lists now; none
    // without a microphone.
    std::vector<std::string> microphoneDeviceNames() const;

    // Any thread, pure.
    static float pitchForKey(std::uint16_t keyCode) noexcept;

    // Observable state (main thread reads).
    bool isRunning() const noexcept;
    SensorStatus sensorStatusValue() const noexcept;
    bool hasAccessibilityPermission() const noexcept;
    bool sensorAvailable() const noexcept;
    std::uint64_t totalSamples() const noexcept;
    std::optional<KeyEvent> lastKeyEvent() const;
    std::optional<ImpactResult> lastImpact() const;
    VelocityTier lastTier() const noexcept;
    float recentMagnitude() const noexcept;
    StrikeSource strikeSource() const;

    ObserverToken subscribe(ObserverList<CoordinatorProperty>::Callback callback);
    void unsubscribe(ObserverToken token);

    // Any thread. Copies of the current pack's sample maps: press samples by
    // sample key ("alpha_soft"), release samples by key group name.
    std::map<std::string, std::vector<std::int32_t>> loadedSampleMap() const;
    std::map<std::string, std::vector<std::int32_t>> loadedReleaseSampleMap() const;

    // Session counters (written on the classify queue; any thread reads).
    std::int64_t sessionKeystrokes() const noexcept;
    std::map<std::string, std::int64_t> sessionTierCounts() const;

    // Owned parts, for the user interface.
    ToccaSettings& settings() const noexcept;
    SPUSensor& sensor() const noexcept;
    KeyboardCaptureManager& keyboard() const noexcept;
    AudioEngine& audioEngine() const noexcept;
    SoundPackManager& packManager() const noexcept;
    MacroRouter& macroRouter() const noexcept;
    CalibrationCollector& calibration() const noexcept;
    // The per-key strike levels learned while perKeyNormalization is on.
    const KeyLevels& keyLevels() const noexcept;
    // Main thread. Forgets the learned levels and deletes their file (a
    // file that was refused included).
    void resetKeyLevels();

    // Usage pings; the user interface sends "sound_toggle" through it.
    void sendEvent(const std::string& event,
                   const nlohmann::json& extra = nlohmann::json::object());

    // Press/release decisions, for offline rendering's events file and for
    // tests. Called on the classify queue (press) or keyboard thread
    // (release) after the play call; must not block. Null: nothing reported.
    // A layer whose sample key and "alpha_soft" have no samples is skipped:
    // it is reported with sampleIndex -1, gain 0 and pitchShift 0, and draws
    // no random numbers.
    struct LayerDecision {
        VelocityTier tier;
        float layerGain;
        std::int32_t sampleIndex;
        float gain;
        float pitchShift;
    };
    struct PressReport {
        KeyEvent keyEvent;
        ImpactResult impact;
        std::uint64_t classifiedAt; // ticks when the classification step ran
        bool sounded;               // false when sound was off
        std::vector<LayerDecision> layers;
    };
    // Every key-up that reaches the coordinator is reported; when no release
    // sound played (sound off, a silenced modifier, no sample) sampleIndex is
    // -1 and gain and pitchShift are 0.
    struct ReleaseReport {
        KeyEvent keyEvent;
        std::int32_t sampleIndex; // -1 when no release sound played
        float gain;
        float pitchShift;
    };
    void setPressReporter(std::function<void(const PressReport&)> reporter);
    void setReleaseReporter(std::function<void(const ReleaseReport&)> reporter);

private:
    struct Impl;
    ToccaCoordinator();
    std::unique_ptr<Impl> _impl;
};

} // namespace clavio
