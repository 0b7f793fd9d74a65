#include "tests/support/coordinator_rig.h"

#include <cmath>

#include "engine/keyboard/key_tap.h"
#include "engine/sensing/accel_report.h"
#include "engine/sensing/spu_sensor.h"
#include "engine/sensing/tca_spu_sensor.h"

namespace clavio::testing {

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

bool CountingClassifyQueue::submitAt(std::uint64_t deadlineTicks, ClassifyTask task) noexcept {
    auto held = std::make_shared<ClassifyTask>(std::move(task));
    return _inner.submitAt(deadlineTicks, [this, held] {
        if (_inside.fetch_add(1) != 0) {
            ++_overlaps;
        }
        ++_ran;
        (*held)();
        _inside.fetch_sub(1);
    });
}

namespace {
std::filesystem::path fixturePack(const std::string& fixture) {
    return std::filesystem::path(CLAVIO_TEST_DATA_DIR) / "packs" / fixture;
}
nlohmann::json tones(const std::string& fixture) {
    return nlohmann::json::parse(readFile(fixturePack(fixture) / "tones.json"));
}
} // namespace

std::map<std::string, float> packLevels(const std::string& fixture) {
    std::map<std::string, float> levels;
    const auto all = tones(fixture);
    for (const auto& [file, tone] : all.items()) {
        levels[file] = tone.is_array() ? tone[0].get<float>() : tone.get<float>();
    }
    return levels;
}

void installPack(const std::string& fixture, const std::filesystem::path& folder,
                 const std::optional<std::string>& displayName) {
    auto manifest = nlohmann::json::parse(readFile(fixturePack(fixture) / "pack.json"));
    manifest["name"] = displayName.value_or(manifest["name"].get<std::string>());
    writeFile(folder / "pack.json", manifest.dump());
    const auto all = tones(fixture);
    for (const auto& [file, tone] : all.items()) {
        const float level = tone.is_array() ? tone[0].get<float>() : tone.get<float>();
        const std::uint32_t frames = tone.is_array() ? tone[1].get<std::uint32_t>() : 4800;
        writeRawAudio(folder / file, 48000, 1, std::vector<float>(frames, level));
    }
}

std::shared_ptr<ToccaCoordinator> makeCoordinator(std::shared_ptr<ToccaSettings> settings,
                                                  const CoordinatorParts& parts,
                                                  const RigOptions& options) {
    CoordinatorServices services;
    services.queues = {parts.mainQueue, parts.classifyQueue};
    services.devices = {parts.sensors, parts.keys, parts.decoder, parts.output,
                        options.microphone};
    services.random = CoordinatorRandom::seeded(options.seed);
    if (options.httpSender && options.defaultsStore && options.machine &&
        !options.pingBaseUrl.empty()) {
        UsagePinger::Options pings;
        pings.baseUrl = options.pingBaseUrl;
        pings.appVersion = "9.8.7";
        pings.wallClock = parts.wallClock;
        services.pinger = std::make_unique<UsagePinger>(
            *options.defaultsStore, *options.httpSender, *options.machine, std::move(pings));
    }
    services.termination = options.termination;
    services.urlOpener = options.urlOpener;
    services.bundledPacksFolder = options.bundledPacks;
    services.keyLevelsFile = options.keyLevelsFile;
    return ToccaCoordinator::create(std::move(settings), std::move(services));
}

constexpr std::uint64_t kStartTicks = 1000 * kTicksPerMilli;
const auto kWallStart = std::chrono::system_clock::time_point(std::chrono::seconds(1769850900));

CoordinatorRig::CoordinatorRig(Options options)
    : home(std::in_place), scheduler(kStartTicks),
      registry(std::make_shared<OfflineSensorRegistry>(options.accelerometer)),
      keys(std::make_shared<GatedKeySource>()), _options(std::move(options)) {
    keys->access = _options.keyboardAccess;
}


ToccaCoordinator& CoordinatorRig::launch(const SettingsValues& values, bool runFirstTurn) {
    _settings = std::make_shared<ToccaSettings>(values);
    CoordinatorParts parts{&scheduler, &classifyQueue, registry, keys,
                           _options.decoder ? _options.decoder : &rawDecoder, &output, [this] {
                               return kWallStart + std::chrono::nanoseconds(now() - kStartTicks);
                           }};
    _coordinator = makeCoordinator(_settings, parts, _options);
    _coordinator->setPressReporter(
        [this](const ToccaCoordinator::PressReport& report) { _presses.push_back(report); });
    _coordinator->setReleaseReporter(
        [this](const ToccaCoordinator::ReleaseReport& report) { _releases.push_back(report); });
    _launchTicks = scheduler.nowTicks();
    _audio.clear();
    _framesPulled = 0;
    tca_set_previous_flags(0); // process-wide modifier state: start from none
    if (runFirstTurn) {
        scheduler.runUntil(_launchTicks);
    }
    return *_coordinator;
}

void CoordinatorRig::accelAt(float magnitude, std::uint64_t ticks) {
    std::uint8_t report[kAccelReportLength];
    encodeAccelReport(0.0, 0.0, magnitude, report);
    _hidReportCallback(_coordinator->sensor().ringBuffer(), report, sizeof report, ticks);
}

void CoordinatorRig::run(std::chrono::milliseconds duration, std::optional<float> resting) {
    std::vector<float> block(48 * 2);
    for (long step = 0; step < duration.count(); ++step) {
        // A voice started at a block's start is its first frame.
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

} // namespace clavio::testing
