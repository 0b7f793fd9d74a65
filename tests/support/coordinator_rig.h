// The real coordinator on virtual time, for tests of the keystroke pipeline,
// the lifecycle, pack loading and pings. The one place tests build a
// coordinator (makeCoordinator also serves tests on real queues).
//
// The sensing ports are the offline ones of trace rendering: an
// accelerometer service (or none) whose stream delivers nothing, and a key
// source whose tap delivers nothing and whose access a test can withdraw.
// Key events go to the capture's own event logic (handleTapEvent) and
// reports to the report decoder (_hidReportCallback) on the coordinator's
// ring, on the driving thread, stamped with virtual time.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio/offline_audio_output.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/ports/classify_queue.h"
#include "engine/ports/http_sender.h"
#include "engine/ports/machine_description.h"
#include "engine/replay/offline_replay_ports.h"
#include "engine/runtime/virtual_time_scheduler.h"
#include "engine/settings/settings_values.h"
#include "engine/settings/tocca_settings.h"
#include "tests/support/raw_audio_decoder.h"
#include "tests/support/test_support.h"

namespace clavio::testing {

inline constexpr std::uint64_t kTicksPerMilli = 1'000'000;

// The offline key source, with keyboard access that can be withdrawn.
class GatedKeySource final : public KeySource {
public:
    bool hasAccess() override { return access.load(); }
    void requestAccess() override { ++requests; }
    std::unique_ptr<KeyEventTap> createTap() override {
        return access.load() ? _inner.createTap() : nullptr;
    }
    std::atomic<bool> access{true};
    std::atomic<int> requests{0};

private:
    OfflineKeySource _inner;
};

// Keeps every ping that would have gone out: the address and the body's JSON.
class RecordingHttpSender final : public HttpSender {
public:
    void post(std::string url, std::string jsonBody) override;
    std::vector<nlohmann::json> events(const std::string& name) const;
    std::vector<std::string> urls() const;

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _urls;
    std::vector<nlohmann::json> _bodies;
};

class FixedMachineDescription final : public MachineDescription {
public:
    std::string hardwareModel() const override { return hw; }
    std::string processorName() const override { return cpu; }
    std::string osVersion() const override { return "Debian GNU/Linux 12 (bookworm)"; }
    std::string localeIdentifier() const override { return "de_CH"; }
    std::string hw = "Test Book 13";
    std::string cpu;
};

// Forwards to another classify queue and counts the tasks it ran and how
// many started while another was still running. Only meaningful over a
// queue with its own worker thread: on virtual time nothing can overlap.
class CountingClassifyQueue final : public ClassifyQueue {
public:
    explicit CountingClassifyQueue(ClassifyQueue& inner) : _inner(inner) {}
    bool submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept override;
    bool isCurrentQueue() const noexcept override { return _inner.isCurrentQueue(); }
    std::uint64_t ran() const { return _ran.load(); }
    std::uint64_t overlaps() const { return _overlaps.load(); }

private:
    ClassifyQueue& _inner;
    std::atomic<std::uint64_t> _ran{0};
    std::atomic<int> _inside{0};
    std::atomic<std::uint64_t> _overlaps{0};
};

// Copies the fixture pack tests/data/packs/<fixture> into `folder`: its
// pack.json, and a sound file for every entry of its tones.json
// ({"file": level} or {"file": [level, frames]}): a constant `level` for
// `frames` (default 4800) mono frames at 48 kHz, so a file's level in the
// mix tells which file sounds. `displayName` replaces the manifest's name.
void installPack(const std::string& fixture, const std::filesystem::path& folder,
                 const std::optional<std::string>& displayName = std::nullopt);
// The level of each file of a fixture pack, by file name.
std::map<std::string, float> packLevels(const std::string& fixture);

struct RigOptions {
    bool accelerometer = true;
    bool keyboardAccess = true;
    std::uint64_t startTicks = 1000 * kTicksPerMilli;
    std::uint64_t seed = 7;
    const AudioDecoder* decoder = nullptr; // null: the raw test decoder
    std::filesystem::path bundledPacks;
    HttpSender* httpSender = nullptr;
    DefaultsStore* defaultsStore = nullptr;
    const MachineDescription* machine = nullptr;
    TerminationNotifier* termination = nullptr;
    UrlOpener* urlOpener = nullptr;
    std::string pingBaseUrl;
    // The wall clock follows virtual time from this point.
    std::chrono::system_clock::time_point wallStart =
        std::chrono::system_clock::time_point(std::chrono::seconds(1769850900));
};

// The queues, ports and audio a coordinator runs on.
struct CoordinatorParts {
    MainQueue* mainQueue = nullptr;
    ClassifyQueue* classifyQueue = nullptr;
    std::shared_ptr<SensorRegistry> sensors;
    std::shared_ptr<KeySource> keys;
    const AudioDecoder* decoder = nullptr;
    AudioOutput* output = nullptr;
    std::function<std::chrono::system_clock::time_point()> wallClock; // empty: the system's
};

// Builds a coordinator from the parts and the options' services (app
// version "9.8.7", random source seeded with options.seed).
std::shared_ptr<ToccaCoordinator> makeCoordinator(std::shared_ptr<ToccaSettings> settings,
                                                  const CoordinatorParts& parts,
                                                  const RigOptions& options);

class CoordinatorRig {
public:
    using Options = RigOptions;

    // Sets up everything but the coordinator. Packs go under userPacks().
    explicit CoordinatorRig(Options options);
    CoordinatorRig() : CoordinatorRig(RigOptions()) {}
    ~CoordinatorRig();

    std::filesystem::path userPacks() const;
    // The options the next launch() uses (for services made after the rig,
    // such as a termination center on its scheduler).
    RigOptions& options() { return _options; }

    // Creates the coordinator with these settings, installs the reporters and
    // (unless told not to) runs the main queue's first turn: start() when the
    // sensor exists and sound is on.
    ToccaCoordinator& launch(const SettingsValues& values = SettingsValues{},
                             bool runFirstTurn = true);
    ToccaCoordinator& coordinator() const { return *_coordinator; }
    ToccaSettings& settings() const { return *_settings; }
    // Destroys the coordinator (the scheduler and ports stay).
    void dropCoordinator();

    std::uint64_t now() const { return scheduler.nowTicks(); }

    // Through the capture's event logic, at the current virtual time.
    void keyDown(std::uint16_t code, bool repeat = false);
    void keyUp(std::uint16_t code);
    void flagsChanged(std::uint16_t code, std::uint64_t flags);
    // One accelerometer report of this magnitude (z axis) into the ring.
    void accelAt(float magnitude, std::uint64_t ticks);
    // A report of `magnitude` at `ticks` (a whole millisecond after launch)
    // instead of the resting one.
    void scheduleSample(std::uint64_t ticks, float magnitude) { _samples[ticks] = magnitude; }

    // Advances virtual time in steps of 1 ms: writes one resting report (when
    // `resting` is given) or a scheduled one, runs what is due, and pulls 48
    // frames. Frame f of audio() is heard at launch time + f/48 ms; the clock
    // stays at the start of the last block pulled.
    void run(std::chrono::milliseconds duration, std::optional<float> resting = std::nullopt);

    // Interleaved stereo frames pulled since launch (kept only while no
    // audioSink is set).
    const std::vector<float>& audio() const { return _audio; }
    // When set, run() hands every pulled block (interleaved stereo, `frames`
    // frames) here instead of keeping it, so hour-long runs stay small.
    std::function<void(const float* block, std::size_t frames)> audioSink;
    std::uint64_t framesPulled() const { return _framesPulled; }
    // First frame at or after `from` with a sample above `threshold`; -1 if none.
    long firstSoundingFrame(std::size_t from = 0, float threshold = 1e-6f) const;
    std::uint64_t launchTicks() const { return _launchTicks; }

    std::vector<ToccaCoordinator::PressReport> presses() const;
    std::vector<ToccaCoordinator::ReleaseReport> releases() const;

    std::optional<ScopedXdgHome> home;
    VirtualTimeScheduler scheduler;
    CountingClassifyQueue classifyQueue{scheduler};
    OfflineAudioOutput output{48000.0};
    RawAudioDecoder rawDecoder;
    std::shared_ptr<OfflineSensorRegistry> registry;
    std::shared_ptr<GatedKeySource> keys;

private:
    Options _options;
    std::shared_ptr<ToccaSettings> _settings;
    std::shared_ptr<ToccaCoordinator> _coordinator;
    std::map<std::uint64_t, float> _samples;
    std::vector<float> _audio;
    std::uint64_t _framesPulled = 0;
    std::uint64_t _launchTicks = 0;
    mutable std::mutex _reportsMutex;
    std::vector<ToccaCoordinator::PressReport> _presses;
    std::vector<ToccaCoordinator::ReleaseReport> _releases;
};

} // namespace clavio::testing
