// A real coordinator for the application's tests and screenshots, built
// from services that exist without hardware: the Qt main queue, the real
// classify queue, an offline audio output, the sndfile decoder with the
// built-in packs, and the evdev key source and Linux sensor registry reading
// a fake device tree (an unopenable keyboard node is a keyboard without
// access). Settings and defaults live in temporary XDG folders; pings go to
// a loopback HTTP server that records them.
//
// Threading: construct, use and destroy on the GUI thread.
#pragma once

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/settings/json_defaults_store.h"
#include "engine/audio/offline_audio_output.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/termination_center.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/input/evdev_key_source.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "app/services/coordinator_bridge.h"
#include "tests/support/fake_device_tree.h"
#include "app/services/qt_main_queue.h"
#include "tests/support/test_support.h"

namespace clavio::testing {

// Records the JSON bodies POSTed to /api/ping on a loopback port.
class PingServer {
public:
    PingServer();
    ~PingServer();
    std::string baseUrl() const;
    std::vector<nlohmann::json> pings() const;
    std::vector<nlohmann::json> events(const std::string& name) const;

private:
    httplib::Server _server;
    int _port = 0;
    std::thread _thread;
    mutable std::mutex _mutex;
    std::vector<nlohmann::json> _pings;
};

struct FixtureOptions {
    bool keyboardAccess = true;
    bool accelerometer = true;
    bool pings = false;
    // Written to settings.json before the settings are loaded; none: no file.
    std::optional<nlohmann::json> settingsFile;
};

class CoordinatorFixture {
public:
    explicit CoordinatorFixture(FixtureOptions options = {});
    ~CoordinatorFixture();

    ToccaCoordinator& coordinator() { return *_coordinator; }
    CoordinatorBridge& bridge() { return *_bridge; }
    ToccaSettings& settings() { return _coordinator->settings(); }
    platform::EvdevKeySource& keySource() { return *_keys; }
    std::filesystem::path settingsPath() const;
    // The settings file as JSON (null when missing or unreadable).
    nlohmann::json settingsOnDisk() const;
    const ScopedXdgHome& xdg() const { return _xdg; }
    PingServer* pingServer() { return _pingServer.get(); }
    // Waits until every ping posted so far has been answered.
    bool flushPings();
    // Makes the fake keyboard readable: keyboard access is granted.
    void grantKeyboardAccess();
    // A user pack in $XDG_DATA_HOME/Clavio/SoundPacks with this manifest
    // text (a copy of the built-in Biscuit's sounds); rescans the catalogue.
    void addUserPack(const std::string& folder, const std::string& manifest);

private:
    ScopedXdgHome _xdg;
    std::unique_ptr<PingServer> _pingServer;
    FakeDeviceTree _tree;
    std::filesystem::path _keyboardNode;
    QtMainQueue _mainQueue;
    SerialDeadlineQueue _classifyQueue;
    OfflineAudioOutput _output;
    platform::SndfileDecoder _decoder;
    platform::CurlHttpSender _sender;
    std::unique_ptr<JsonDefaultsStore> _defaults;
    platform::LinuxMachineDescription _machine;
    TerminationCenter _termination{_mainQueue};
    std::shared_ptr<platform::EvdevKeySource> _keys;
    std::shared_ptr<ToccaCoordinator> _coordinator;
    std::unique_ptr<CoordinatorBridge> _bridge;
};

// The built-in packs of the build tree.
std::filesystem::path builtInPacks();

} // namespace clavio::testing
