#include "tests/support/coordinator_rig.h"

#include <cmath>

#include "engine/sensing/accel_report.h"
#include "engine/keyboard/key_tap.h"
#include "engine/keyboard/keyboard_capture_manager.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"

namespace clavio::testing {

namespace {

// Delivers the reports of the shared queue; interrupt() ends the slice.
class MemoryReportStream final : public SensorReportStream {
public:
    explicit MemoryReportStream(std::shared_ptr<MemorySensorRegistry::State> state)
        : _state(std::move(state)) {}

    bool runSlice(double seconds, SensorReportCallback callback, void* context) override {
        std::unique_lock lock(_state->mutex);
        _state->wake.wait_for(lock, std::chrono::duration<double>(seconds),
                              [&] { return !_state->reports.empty() || _interrupted; });
        if (_interrupted) {
            _interrupted = false;
            return true;
        }
        while (!_state->reports.empty()) {
            const auto report = std::move(_state->reports.front());
            _state->reports.pop_front();
            lock.unlock();
            callback(context, report.data(), report.size(), hostTicks());
            lock.lock();
        }
        return true;
    }

    void interrupt() noexcept override {
        std::lock_guard lock(_state->mutex);
        _interrupted = true;
        _state->wake.notify_all();
    }

private:
    std::shared_ptr<MemorySensorRegistry::State> _state;
    bool _interrupted = false; // guarded by the state's mutex
};

class MemorySensorDevice final : public SensorDevice {
public:
    explicit MemorySensorDevice(std::shared_ptr<MemorySensorRegistry::State> state)
        : _state(std::move(state)) {}
    std::unique_ptr<SensorReportStream> open() override {
        ++_state->opened;
        return std::make_unique<MemoryReportStream>(_state);
    }

private:
    std::shared_ptr<MemorySensorRegistry::State> _state;
};

class MemoryKeyTap final : public KeyEventTap {
public:
    explicit MemoryKeyTap(std::shared_ptr<MemoryKeySource::State> state)
        : _state(std::move(state)) {}

    bool runSlice(double seconds, TapEventCallback callback, void* context) override {
        std::unique_lock lock(_state->mutex);
        _state->wake.wait_for(lock, std::chrono::duration<double>(seconds),
                              [&] { return !_state->events.empty() || _interrupted; });
        if (_interrupted) {
            _interrupted = false;
            return true;
        }
        while (!_state->events.empty()) {
            const TCATapEvent event = _state->events.front();
            _state->events.pop_front();
            lock.unlock();
            callback(context, event);
            lock.lock();
        }
        return true;
    }

    void interrupt() noexcept override {
        std::lock_guard lock(_state->mutex);
        _interrupted = true;
        _state->wake.notify_all();
    }

private:
    std::shared_ptr<MemoryKeySource::State> _state;
    bool _interrupted = false; // guarded by the state's mutex
};

} // namespace

// ---- ports ----

std::optional<std::vector<SensorService>>
MemorySensorRegistry::matchingServices(std::string_view serviceClass) {
    if (serviceClass != kSensorDeviceClass || !_hasAccelerometer) {
        return std::vector<SensorService>{};
    }
    return std::vector<SensorService>{{"memory:accel",
                                       {{"PrimaryUsagePage", std::int64_t{kAccelUsagePage}},
                                        {"PrimaryUsage", std::int64_t{kAccelUsage}},
                                        {"Product", std::string("Memory accelerometer")}}}};
}

bool MemorySensorRegistry::setProperty(const SensorService&, std::string_view, std::int32_t) {
    return true;
}

std::unique_ptr<SensorDevice> MemorySensorRegistry::createDevice(const SensorService& service) {
    if (service.id != "memory:accel") {
        return nullptr;
    }
    return std::make_unique<MemorySensorDevice>(_state);
}

void MemorySensorRegistry::push(std::vector<std::uint8_t> report) {
    std::lock_guard lock(_state->mutex);
    _state->reports.push_back(std::move(report));
    _state->wake.notify_all();
}

std::unique_ptr<KeyEventTap> MemoryKeySource::createTap() {
    if (!access.load()) {
        return nullptr;
    }
    return std::make_unique<MemoryKeyTap>(_state);
}

void MemoryKeySource::push(const TCATapEvent& event) {
    std::lock_guard lock(_state->mutex);
    _state->events.push_back(event);
    _state->wake.notify_all();
}

// ---- pings ----

void RecordingHttpSender::post(std::string url, std::string jsonBody) {
    std::lock_guard lock(_mutex);
    _urls.push_back(std::move(url));
    _bodies.push_back(nlohmann::json::parse(jsonBody));
}

std::vector<nlohmann::json> RecordingHttpSender::events(const std::string& name) const {
    std::lock_guard lock(_mutex);
    std::vector<nlohmann::json> found;
    for (const auto& body : _bodies) {
        if (body.value("event", "") == name) {
            found.push_back(body);
        }
    }
    return found;
}

std::vector<std::string> RecordingHttpSender::urls() const {
    std::lock_guard lock(_mutex);
    return _urls;
}

// ---- counting queue ----

bool CountingClassifyQueue::submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept {
    const std::size_t slot = std::size_t(_next.fetch_add(1) % kSlots);
    _slots[slot] = std::move(task);
    if (!_inner.submitAt(deadlineTicks, [this, slot] { run(slot); })) {
        _slots[slot].reset();
        return false;
    }
    return true;
}

void CountingClassifyQueue::run(std::size_t slot) {
    if (_inside.fetch_add(1) != 0) {
        ++_overlaps;
    }
    ++_ran;
    _slots[slot]();
    _slots[slot].reset();
    _inside.fetch_sub(1);
}

// ---- packs ----

void writeTonePack(const std::filesystem::path& folder, const nlohmann::json& groups,
                   const std::optional<nlohmann::json>& release,
                   const std::vector<ToneFile>& files) {
    std::filesystem::create_directories(folder);
    nlohmann::json manifest = {{"name", folder.filename().string()},
                               {"author", "Tests"},
                               {"license", "CC0"},
                               {"groups", groups}};
    if (release) {
        manifest["release"] = *release;
    }
    writeFile(folder / "pack.json", manifest.dump());
    for (const ToneFile& file : files) {
        writeRawAudio(folder / file.name, 48000, 1, std::vector<float>(file.frames, file.value));
    }
}

void writeStandardPack(const std::filesystem::path& folder, const std::string& displayName) {
    const nlohmann::json groups = {{"alpha",
                                    {{"soft", {"a_soft.raw"}},
                                     {"medium", {"a_medium.raw"}},
                                     {"hard", {"a_hard.raw"}},
                                     {"slam", {"a_slam.raw"}}}},
                                   {"space", {{"soft", {"space.raw"}}}}};
    const nlohmann::json release = {{"alpha", {"rel_a.raw"}}, {"enter", {"rel_enter.raw"}}};
    writeTonePack(folder, groups, release,
                  {{"a_soft.raw", 0.1f},
                   {"a_medium.raw", 0.2f},
                   {"a_hard.raw", 0.3f},
                   {"a_slam.raw", 0.4f},
                   {"rel_a.raw", 0.05f},
                   {"space.raw", 0.25f},
                   {"rel_enter.raw", 0.06f}});
    auto manifest = nlohmann::json::parse(readFile(folder / "pack.json"));
    manifest["name"] = displayName;
    writeFile(folder / "pack.json", manifest.dump());
}

// ---- rig ----

CoordinatorRig::CoordinatorRig(Options options)
    : home(std::in_place), scheduler(options.startTicks),
      registry(std::make_shared<MemorySensorRegistry>(options.accelerometer)),
      keys(std::make_shared<MemoryKeySource>()), _options(std::move(options)) {
    keys->access = _options.keyboardAccess;
}

CoordinatorRig::~CoordinatorRig() {
    dropCoordinator();
}

void CoordinatorRig::dropCoordinator() {
    _coordinator.reset();
    _settings.reset();
}

std::filesystem::path CoordinatorRig::userPacks() const {
    return home->dataHome() / "Clavio" / "SoundPacks";
}

ToccaCoordinator& CoordinatorRig::launch(const SettingsValues& values, bool runFirstTurn) {
    _settings = std::make_shared<ToccaSettings>(values);
    CoordinatorServices services;
    services.mainQueue = &scheduler;
    services.classifyQueue = &classifyQueue;
    services.sensorRegistry = registry;
    services.keySource = keys;
    services.audioDecoder = _options.decoder ? _options.decoder : &rawDecoder;
    services.audioOutput = &output;
    services.httpSender = _options.httpSender;
    services.defaultsStore = _options.defaultsStore;
    services.machine = _options.machine;
    services.termination = _options.termination;
    services.urlOpener = _options.urlOpener;
    services.bundledPacksFolder = _options.bundledPacks;
    services.pingBaseUrl = _options.pingBaseUrl;
    services.appVersion = "9.8.7";
    const auto wallStart = _options.wallStart;
    const std::uint64_t startTicks = _options.startTicks;
    services.wallClock = [this, wallStart, startTicks] {
        return wallStart + std::chrono::nanoseconds(scheduler.nowTicks() - startTicks);
    };
    seedCoordinatorRandom(services, _options.seed);
    _coordinator = ToccaCoordinator::create(_settings, std::move(services));
    _coordinator->setPressReporter([this](const ToccaCoordinator::PressReport& report) {
        std::lock_guard lock(_reportsMutex);
        _presses.push_back(report);
    });
    _coordinator->setReleaseReporter([this](const ToccaCoordinator::ReleaseReport& report) {
        std::lock_guard lock(_reportsMutex);
        _releases.push_back(report);
    });
    _launchTicks = scheduler.nowTicks();
    _audio.clear();
    _framesPulled = 0;
    tca_set_previous_flags(0); // process-wide modifier state: start from none
    if (runFirstTurn) {
        scheduler.runUntil(_launchTicks);
    }
    return *_coordinator;
}

void CoordinatorRig::keyDown(std::uint16_t code, bool repeat) {
    _coordinator->keyboard().native->handleTapEvent({TCATapEventType::keyDown, code, 0, repeat});
}

void CoordinatorRig::keyUp(std::uint16_t code) {
    _coordinator->keyboard().native->handleTapEvent({TCATapEventType::keyUp, code, 0, false});
}

void CoordinatorRig::flagsChanged(std::uint16_t code, std::uint64_t flags) {
    _coordinator->keyboard().native->handleTapEvent(
        {TCATapEventType::flagsChanged, code, flags, false});
}

void CoordinatorRig::accel(float magnitude) {
    accelAt(magnitude, scheduler.nowTicks());
}

void CoordinatorRig::accelAt(float magnitude, std::uint64_t ticks) {
    std::uint8_t report[kAccelReportLength];
    encodeAccelReport(0.0, 0.0, magnitude, report);
    _hidReportCallback(_coordinator->sensor().ringBuffer(), report, sizeof report, ticks);
}

void CoordinatorRig::run(std::chrono::milliseconds duration, std::optional<float> resting) {
    std::vector<float> block(48 * 2);
    for (long step = 0; step < duration.count(); ++step) {
        // Block k starts at launch + k ms: its report is written first, then
        // everything due by its start runs (and sees it), then its audio is
        // pulled, so a voice started at a block's start is its first frame.
        const std::uint64_t t = _launchTicks + (_framesPulled / 48) * kTicksPerMilli;
        if (const auto it = _samples.find(t); it != _samples.end()) {
            accelAt(it->second, t);
            _samples.erase(it);
        } else if (resting) {
            accelAt(*resting, t);
        }
        scheduler.runUntil(t);
        output.pull(block.data(), 48);
        _framesPulled += 48;
        if (audioSink) {
            audioSink(block.data(), 48);
        } else {
            _audio.insert(_audio.end(), block.begin(), block.end());
        }
    }
}

long CoordinatorRig::firstSoundingFrame(std::size_t from, float threshold) const {
    for (std::size_t f = from; f * 2 + 1 < _audio.size(); ++f) {
        if (std::fabs(_audio[f * 2]) > threshold || std::fabs(_audio[f * 2 + 1]) > threshold) {
            return long(f);
        }
    }
    return -1;
}

std::vector<ToccaCoordinator::PressReport> CoordinatorRig::presses() const {
    std::lock_guard lock(_reportsMutex);
    return _presses;
}

std::vector<ToccaCoordinator::ReleaseReport> CoordinatorRig::releases() const {
    std::lock_guard lock(_reportsMutex);
    return _releases;
}

} // namespace clavio::testing
