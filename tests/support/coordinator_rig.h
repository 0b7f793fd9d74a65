// The one place tests build a coordinator: CoordinatorRig runs the real one
// on virtual time with the offline sensing ports of trace rendering; key
// events go to the capture's event logic and reports to the report decoder,
// on the driving thread, stamped with virtual time. makeCoordinator also
// serves tests on real queues.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/audio/offline_audio_output.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/ports/classify_queue.h"
#include "engine/ports/http_sender.h"
#include "engine/ports/key_events.h"
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

// Forwards to another classify queue, counting the tasks it ran and those
// that started while another still ran (only possible on a worker thread).
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

// Copies tests/data/packs/<fixture> into `folder`: its pack.json (named
// `displayName` if given), and for each entry of its tones.json ({"file":
// level} or {"file": [level, frames]}) `frames` (default 4800) mono frames at
// 48 kHz of that constant level, so a file's level in the mix tells which sounds.
void installPack(const std::string& fixture, const std::filesystem::path& folder,
                 const std::optional<std::string>& displayName = std::nullopt);
// Each file's level in a fixture pack, by file name.
std::map<std::string, float> packLevels(const std::string& fixture);

struct RigOptions {
    bool accelerometer = true;
    bool keyboardAccess = true;
    std::uint64_t seed = 7;
    const AudioDecoder* decoder = nullptr; // null: the raw test decoder
    std::filesystem::path bundledPacks;
    HttpSender* httpSender = nullptr;
    DefaultsStore* defaultsStore = nullptr;
    const MachineDescription* machine = nullptr;
    TerminationNotifier* termination = nullptr;
    UrlOpener* urlOpener = nullptr;
    std::string pingBaseUrl;
    std::filesystem::path keyLevelsFile; // empty: levels kept in memory only
    Microphone* microphone = nullptr; // null: none
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
    // Everything but the coordinator; packs go under userPacks().
    explicit CoordinatorRig(Options options);
    CoordinatorRig() : CoordinatorRig(RigOptions()) {}
    ~CoordinatorRig() { dropCoordinator(); }

    std::filesystem::path userPacks() const { return home->dataHome() / "Clavio" / "SoundPacks"; }
    // The options the next launch() uses.
    RigOptions& options() { return _options; }
    // Creates the coordinator with these settings and (unless told not to)
    // runs the main queue's first turn: start() when there is a sensor and
    // sound is on. The wall clock reads 2026-01-31T09:15:00Z at the start.
    ToccaCoordinator& launch(const SettingsValues& values = SettingsValues{},
                             bool runFirstTurn = true);
    ToccaCoordinator& coordinator() const { return *_coordinator; }
    ToccaSettings& settings() const { return *_settings; }
    // Destroys the coordinator (the scheduler and ports stay).
    void dropCoordinator() { _coordinator.reset(); _settings.reset(); }

    std::uint64_t now() const { return scheduler.nowTicks(); }

    // Through the capture's event logic, at the current virtual time.
    void keyDown(std::uint16_t code, bool repeat = false) {
        tap({TCATapEventType::keyDown, code, 0, repeat});
    }
    void keyUp(std::uint16_t code) { tap({TCATapEventType::keyUp, code, 0, false}); }
    void flagsChanged(std::uint16_t code, std::uint64_t flags) {
        tap({TCATapEventType::flagsChanged, code, flags, false});
    }
    // A report (z axis) of `magnitude` at `ticks`, a whole millisecond after
    // launch, instead of the resting one.
    void scheduleSample(std::uint64_t ticks, float magnitude) { _samples[ticks] = magnitude; }

    // Advances virtual time in steps of 1 ms: writes a scheduled report or
    // one resting (if given), runs what is due, and pulls 48 frames. Frame f
    // of audio() is heard at launch + f/48 ms; the clock stays at the start of
    // the last block pulled.
    void run(std::chrono::milliseconds duration, std::optional<float> resting = std::nullopt);
    // Interleaved stereo frames pulled since launch, unless audioSink takes
    // every block instead (so hour-long runs stay small).
    const std::vector<float>& audio() const { return _audio; }
    std::function<void(const float* block, std::size_t frames)> audioSink;
    std::uint64_t framesPulled() const { return _framesPulled; }
    // First frame at or after `from` with a sample above `threshold`; -1 if none.
    long firstSoundingFrame(std::size_t from = 0, float threshold = 1e-6f) const;
    std::uint64_t launchTicks() const { return _launchTicks; }

    // What the coordinator reported, in order (on virtual time everything
    // runs on the driving thread).
    const std::vector<ToccaCoordinator::PressReport>& presses() const { return _presses; }
    const std::vector<ToccaCoordinator::ReleaseReport>& releases() const { return _releases; }

    std::optional<ScopedXdgHome> home;
    VirtualTimeScheduler scheduler;
    CountingClassifyQueue classifyQueue{scheduler};
    OfflineAudioOutput output{48000.0};
    RawAudioDecoder rawDecoder;
    std::shared_ptr<OfflineSensorRegistry> registry;
    std::shared_ptr<GatedKeySource> keys;

private:
    void tap(const TCATapEvent& event) { _coordinator->keyboard().deliverTapEvent(event); }
    void accelAt(float magnitude, std::uint64_t ticks);
    Options _options;
    std::shared_ptr<ToccaSettings> _settings;
    std::shared_ptr<ToccaCoordinator> _coordinator;
    std::map<std::uint64_t, float> _samples;
    std::vector<float> _audio;
    std::uint64_t _framesPulled = 0;
    std::uint64_t _launchTicks = 0;
    std::vector<ToccaCoordinator::PressReport> _presses;
    std::vector<ToccaCoordinator::ReleaseReport> _releases;
};

} // namespace clavio::testing
