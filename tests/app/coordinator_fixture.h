// A real coordinator on the Qt main queue with the built-in packs, an offline
// output and the shared rig's ports; settings in temporary XDG folders.
#pragma once

#include "app/services/coordinator_bridge.h"
#include "app/services/qt_main_queue.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/termination_center.h"
#include "engine/settings/json_defaults_store.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/coordinator_rig.h"

namespace clavio::testing {

inline const std::filesystem::path kBuiltInPacks =
    std::filesystem::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks";

struct FixtureOptions {
    bool keyboardAccess = true;
    bool accelerometer = true;
    std::optional<nlohmann::json> settingsFile{}; // written before the settings load
    std::filesystem::path keyLevelsFile{};        // empty: levels in memory only
};

class CoordinatorFixture {
public:
    explicit CoordinatorFixture(FixtureOptions options = {})
        : keys(std::make_shared<GatedKeySource>()) {
        keys->access = options.keyboardAccess;
        if (options.settingsFile) {
            writeFile(settingsPath(), options.settingsFile->dump());
        }
        _coordinator = makeCoordinator(
            std::make_shared<ToccaSettings>(ToccaSettings::load()),
            {.mainQueue = &_mainQueue,
             .classifyQueue = &_classifyQueue,
             .sensors = std::make_shared<OfflineSensorRegistry>(options.accelerometer),
             .keys = keys,
             .decoder = &_decoder,
             .output = &_output,
             .wallClock = {}},
            {.bundledPacks = kBuiltInPacks,
             .httpSender = &pings,
             .defaultsStore = &_defaults,
             .machine = &_machine,
             .termination = &_termination,
             .pingBaseUrl = "http://127.0.0.1:9",
             .keyLevelsFile = options.keyLevelsFile});
        _bridge = std::make_unique<CoordinatorBridge>(*_coordinator);
    }
    ~CoordinatorFixture() {
        _bridge.reset();
        _coordinator->stop();
        _classifyQueue.waitUntilIdle(std::chrono::seconds(5));
    }

    ToccaCoordinator& coordinator() { return *_coordinator; }
    CoordinatorBridge& bridge() { return *_bridge; }
    ToccaSettings& settings() { return _coordinator->settings(); }
    int activeTimers() const { return _mainQueue.activeTimerCount(); }
    std::filesystem::path settingsPath() const { return xdg.configHome() / "Clavio/settings.json"; }
    nlohmann::json settingsOnDisk() const { // "discarded" when there is no file
        return nlohmann::json::parse(readFile(settingsPath()), nullptr, false);
    }
    // A user pack with this manifest text (the built-in Biscuit's sounds).
    void addUserPack(const std::string& folder, const std::string& manifest) {
        const auto dir = xdg.dataHome() / "Clavio" / "SoundPacks" / folder;
        std::filesystem::create_directories(dir);
        std::filesystem::copy(kBuiltInPacks / "Biscuit", dir,
                              std::filesystem::copy_options::recursive);
        writeFile(dir / "pack.json", manifest);
        _coordinator->packManager().refresh();
    }

    ScopedXdgHome xdg;
    RecordingHttpSender pings;
    std::shared_ptr<GatedKeySource> keys;

private:
    QtMainQueue _mainQueue;
    SerialDeadlineQueue _classifyQueue;
    OfflineAudioOutput _output;
    platform::SndfileDecoder _decoder;
    JsonDefaultsStore _defaults;
    FixedMachineDescription _machine;
    TerminationCenter _termination{_mainQueue};
    std::shared_ptr<ToccaCoordinator> _coordinator;
    std::unique_ptr<CoordinatorBridge> _bridge;
};

} // namespace clavio::testing
