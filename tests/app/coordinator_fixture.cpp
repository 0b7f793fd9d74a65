#include "tests/app/coordinator_fixture.h"

#include <QCoreApplication>

#include <chrono>

#include "engine/settings/tocca_settings.h"
#include "platform/linux/system/evdev_probe.h"

namespace clavio::testing {

namespace fs = std::filesystem;

fs::path builtInPacks() {
    return fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks";
}

PingServer::PingServer() {
    _server.Post("/api/ping", [this](const httplib::Request& req, httplib::Response& res) {
        nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
        {
            std::lock_guard lock(_mutex);
            _pings.push_back(std::move(body));
        }
        res.set_content("{}", "application/json");
    });
    _port = _server.bind_to_any_port("127.0.0.1");
    _thread = std::thread([this] { _server.listen_after_bind(); });
    for (int i = 0; i < 500 && !_server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

PingServer::~PingServer() {
    _server.stop();
    if (_thread.joinable()) {
        _thread.join();
    }
}

std::string PingServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(_port);
}

std::vector<nlohmann::json> PingServer::pings() const {
    std::lock_guard lock(_mutex);
    return _pings;
}

std::vector<nlohmann::json> PingServer::events(const std::string& name) const {
    std::vector<nlohmann::json> found;
    for (const auto& ping : pings()) {
        if (ping.is_object() && ping.value("event", "") == name) {
            found.push_back(ping);
        }
    }
    return found;
}

CoordinatorFixture::CoordinatorFixture(FixtureOptions options) {
    if (options.pings) {
        _pingServer = std::make_unique<PingServer>();
    }
    if (options.settingsFile) {
        writeFile(settingsPath(), options.settingsFile->dump());
    }
    _keyboardNode = _tree.addKeyboard(
        0, "Fake Keyboard", {}, options.keyboardAccess ? FakeNode::fifo : FakeNode::unopenable);
    if (options.accelerometer) {
        _tree.addEvdevAccelerometer(1, 16384);
    }
    auto probe = platform::makeSidecarEvdevProbe();
    _keys = std::make_shared<platform::EvdevKeySource>(
        platform::EvdevKeySourceOptions{_tree.inputRoot(), probe});
    _defaults = std::make_unique<JsonDefaultsStore>();

    CoordinatorServices s;
    s.mainQueue = &_mainQueue;
    s.classifyQueue = &_classifyQueue;
    s.sensorRegistry = std::make_shared<platform::LinuxSensorRegistry>(
        platform::LinuxSensorRoots{_tree.sysRoot(), _tree.devRoot(), _tree.inputRoot(), probe});
    s.keySource = _keys;
    s.audioDecoder = &_decoder;
    s.audioOutput = &_output;
    s.httpSender = &_sender;
    s.defaultsStore = _defaults.get();
    s.machine = &_machine;
    s.termination = &_termination;
    s.bundledPacksFolder = builtInPacks();
    s.pingBaseUrl = _pingServer ? _pingServer->baseUrl() : std::string();
    s.appVersion = CLAVIO_VERSION;
    seedCoordinatorRandom(s, 7);

    auto settings = std::make_shared<ToccaSettings>(ToccaSettings::load());
    _coordinator = ToccaCoordinator::create(settings, std::move(s));
    _bridge = std::make_unique<CoordinatorBridge>(*_coordinator);
}

CoordinatorFixture::~CoordinatorFixture() {
    _bridge.reset();
    if (_coordinator) {
        _coordinator->stop();
    }
    _classifyQueue.waitUntilIdle(std::chrono::seconds(5));
    _coordinator.reset();
}

fs::path CoordinatorFixture::settingsPath() const {
    return _xdg.configHome() / "Clavio" / "settings.json";
}

nlohmann::json CoordinatorFixture::settingsOnDisk() const {
    std::error_code ec;
    if (!fs::exists(settingsPath(), ec)) {
        return nullptr;
    }
    return nlohmann::json::parse(readFile(settingsPath()), nullptr, false);
}

bool CoordinatorFixture::flushPings() {
    return _sender.waitUntilIdle(std::chrono::seconds(5));
}

void CoordinatorFixture::grantKeyboardAccess() {
    fs::remove(_keyboardNode);
    FakeDeviceTree::makeNode(_keyboardNode, FakeNode::fifo);
}

void CoordinatorFixture::addUserPack(const std::string& folder, const std::string& manifest) {
    const fs::path dir = _xdg.dataHome() / "Clavio" / "SoundPacks" / folder;
    fs::create_directories(dir);
    fs::copy(builtInPacks() / "Biscuit", dir, fs::copy_options::recursive);
    writeFile(dir / "pack.json", manifest);
    _coordinator->packManager().refresh();
}

} // namespace clavio::testing
