// The tray application's composition root (ToccaApp): it loads the settings,
// builds the real Linux services, creates the one coordinator and the update
// checker, and hands them to the views. It runs as a background accessory: a
// tray icon and no main window, and closing a window never ends it. There is
// one per user: a later start hands over to the running one, which opens its
// panel, and ends.
//
//   clavio                 the keyboard and accelerometer of this machine
//   clavio --background    as started at login: no panel opens at start,
//                          even on a desktop without a tray
//   clavio --replay FILE   a recorded session trace played in real time
//                          through the same threads, for machines without an
//                          accelerometer; "demo" plays the bundled session
#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSaveFile>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/services/coordinator_bridge.h"
#include "app/services/qt_main_queue.h"
#include "app/shell/single_instance.h"
#include "app/shell/tray_controller.h"
#include "app/shell/window_registry.h"
#include "app/updates/sparkle_controller.h"
#include "app/views/clavio_settings_view.h"
#include "app/views/incompatible_view.h"
#include "app/views/menu_bar_dropdown.h"
#include "app/views/panel_host.h"
#include "app/widgets/clavio_logo.h"
#include "engine/core/log.h"
#include "engine/core/paths.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/pipeline/usage_pinger.h"
#include "engine/replay/replay_key_source.h"
#include "engine/replay/replay_sensor_registry.h"
#include "engine/replay/replay_timeline.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/termination_center.h"
#include "engine/settings/json_defaults_store.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sdl_microphone.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/desktop/resource_dir.h"
#include "platform/linux/desktop/termination_signals.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "platform/linux/desktop/xdg_url_opener.h"
#include "platform/linux/input/evdev_key_source.h"
#include "platform/linux/net/curl_http_sender.h"
#include "platform/linux/sensors/linux_sensor_registry.h"
#include "platform/linux/system/safe_file.h"
#include "platform/linux/system/thread_naming.h"

using namespace clavio;

namespace {

QIcon applicationIcon() {
    QIcon icon = QIcon::fromTheme(QStringLiteral("clavio"));
    if (icon.isNull()) {
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            icon.addPixmap(QPixmap::fromImage(ClavioLogo::render(size)));
        }
    }
    return icon;
}

// With CLAVIO_REPLAY_STAT naming a file, a replay states its progress there
// once a second, so a benchmark can check that the stream it measures really
// advances: one line "<accelerometer reports delivered> <keys delivered>
// <steady clock ns>", replaced whole each time. Off (no timer) otherwise.
void startReplayStat(const std::shared_ptr<ReplayTimeline>& replay) {
    const char* path = std::getenv("CLAVIO_REPLAY_STAT");
    if (!replay || !path || !*path) {
        return;
    }
    auto* timer = new QTimer(QCoreApplication::instance());
    QObject::connect(timer, &QTimer::timeout, [replay, file = QString::fromLocal8Bit(path)] {
        using Kind = ReplayTimeline::Kind;
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const std::string line =
            std::to_string(replay->delivered(Kind::accel)) + ' ' +
            std::to_string(replay->delivered(Kind::key)) + ' ' +
            std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) +
            '\n';
        QSaveFile out(file);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(line.data(), qint64(line.size()));
            out.commit();
        }
    });
    timer->start(1000);
}

class ToccaApp {
public:
    // `replay` null: the devices of this machine.
    explicit ToccaApp(std::shared_ptr<ReplayTimeline> replay);
    ~ToccaApp();
    ToccaApp(const ToccaApp&) = delete;
    ToccaApp& operator=(const ToccaApp&) = delete;

    bool valid() const { return _coordinator != nullptr; }
    void show(TrayController::StartMode mode);
    // Opens the panel, or brings it forward when it is open (a later start
    // of Clavio asked for it).
    void openPanel();

private:
    CoordinatorServices services(std::shared_ptr<ReplayTimeline> replay);
    void declareWindows();
    void buildTrayMenu();
    void togglePanel();
    void showAccessHelp(const std::string& text);

    // Services first: members are destroyed in reverse order, so everything
    // that refers to a service goes before it.
    QtMainQueue _mainQueue;
    SerialDeadlineQueue _classifyQueue;
    platform::SdlAudioOutput _audioOutput;
    platform::SdlMicrophone _microphone; // opened only while "microphone" is the strike source
    platform::SndfileDecoder _decoder;
    platform::CurlHttpSender _httpSender;
    JsonDefaultsStore _defaults;
    platform::LinuxMachineDescription _machine;
    TerminationCenter _termination{_mainQueue};
    platform::XdgUrlOpener _urlOpener;
    platform::XdgLoginItem _loginItem{platform::XdgLoginItem::currentExecutable()};
    std::shared_ptr<platform::EvdevKeySource> _evdev; // null when replaying

    std::shared_ptr<ToccaCoordinator> _coordinator;
    std::unique_ptr<CoordinatorBridge> _bridge;
    SparkleController _sparkle;
    WindowRegistry _windows;
    // Built on opening and released on hiding: see panel_host.h.
    std::unique_ptr<PanelHost> _panel;
    QMenu _menu;
    TrayController _tray;
    QPointer<QMessageBox> _accessHelp;
    std::unique_ptr<platform::TerminationSignals> _signals;
};

ToccaApp::ToccaApp(std::shared_ptr<ReplayTimeline> replay) {
    auto settings = std::make_shared<ToccaSettings>(ToccaSettings::load());
    settings->setUnreadableFileAside();
    _coordinator = ToccaCoordinator::create(settings, services(std::move(replay)));
    if (!_coordinator) {
        return;
    }
    _bridge = std::make_unique<CoordinatorBridge>(*_coordinator);
    // The display values are refreshed only while the panel shows them.
    _coordinator->setDisplayWatched(false);
    // The baseline is refreshed while keys are pressed, not all day.
    _coordinator->setBaselineOnDemand(true);

    const OpenUrlHook openUrl = [this](std::string url) { _urlOpener.open(url); };
    _sparkle.setUrlOpener(openUrl);
    declareWindows();

    _panel = std::make_unique<PanelHost>([this] {
        MenuBarDropdown::Hooks hooks;
        hooks.openWindow = [this](const std::string& id) { _windows.open(id); };
        hooks.quit = [] { QCoreApplication::quit(); };
        return std::make_unique<MenuBarDropdown>(*_bridge, &_sparkle, std::move(hooks));
    });

    if (_evdev) {
        // The request is made on the main thread by the panel, but the key
        // source allows any thread: hop to the main queue for the dialog.
        _evdev->setAccessRequestHandler([this](std::string_view text) {
            _mainQueue.post([this, text = std::string(text)] { showAccessHelp(text); });
        });
    }

    // The "quit" ping goes out through the coordinator's quit observer, which
    // it registered first; ours then ends the event loop (for SIGTERM and
    // SIGINT, which arrive as a termination notice). Quitting from the user
    // interface announces termination on the way out.
    _termination.addQuitObserver([] { QCoreApplication::quit(); });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit,
                     [this] { _termination.notifyTermination(); });
    _signals = std::make_unique<platform::TerminationSignals>(_termination);

    buildTrayMenu();
    _tray.setSoundEnabled(settings->soundEnabled());
    QObject::connect(_bridge.get(), &CoordinatorBridge::settingsChanged, &_tray,
                     [this](SettingsKey key) {
                         if (key == SettingsKey::soundEnabled) {
                             _tray.setSoundEnabled(_coordinator->settings().soundEnabled());
                         }
                     });
    _tray.setPanelOpener([this] {
        if (_tray.usesTray()) {
            togglePanel();
        } else {
            _panel->panel().showAsWindow();
        }
    });
}

ToccaApp::~ToccaApp() {
    if (_evdev) {
        _evdev->setAccessRequestHandler({});
    }
    // The capture and sensor threads and the audio output stop here, while
    // every service they use still exists.
    if (_coordinator) {
        _coordinator->stop();
    }
}

CoordinatorServices ToccaApp::services(std::shared_ptr<ReplayTimeline> replay) {
    CoordinatorServices s;
    s.queues = {&_mainQueue, &_classifyQueue};
    if (replay) {
        s.devices.sensors = std::make_shared<ReplaySensorRegistry>(replay);
        s.devices.keys = std::make_shared<ReplayKeySource>(replay);
        logLine("[Clavio] Replaying " + replay->sourceName());
    } else {
        s.devices.sensors = std::make_shared<platform::LinuxSensorRegistry>();
        _evdev = std::make_shared<platform::EvdevKeySource>();
        s.devices.keys = _evdev;
        s.devices.microphone = &_microphone;
    }
    s.devices.decoder = &_decoder;
    s.devices.output = &_audioOutput;
    // Pings only where CLAVIO_PING_URL names a service.
    UsagePinger::Options pings = UsagePinger::optionsFromEnvironment();
    if (pings.baseUrl) {
        s.pinger =
            std::make_unique<UsagePinger>(_defaults, _httpSender, _machine, std::move(pings));
    }
    s.termination = &_termination;
    s.urlOpener = &_urlOpener;
    s.bundledPacksFolder = platform::resourceDir() / "SoundPacks";
    // The tray application keeps what it learns of each key across runs.
    s.keyLevelsFile = keyLevelsFile();
    return s;
}

void ToccaApp::declareWindows() {
    const OpenUrlHook openUrl = [this](std::string url) { _urlOpener.open(url); };
    _windows.declare("settings", [this, openUrl] {
        const LoginItemAction loginItem = [this](bool enabled) {
            return platform::applyLoginItem(_loginItem, enabled);
        };
        return new ClavioSettingsView(*_bridge, loginItem, openUrl);
    });
    _windows.declare("incompatible", [openUrl] {
        auto* view = new IncompatibleView;
        view->setUrlOpener(openUrl);
        // Continue closes the window itself; the application goes on.
        QObject::connect(view, &IncompatibleView::quitRequested, qApp, &QCoreApplication::quit);
        return view;
    });
}

void ToccaApp::buildTrayMenu() {
    // The right-click menu repeats the panel's footer, for trays (some
    // AppIndicator hosts) that only ever show the menu.
    QAction* open = _menu.addAction(QStringLiteral("Open Clavio"));
    QObject::connect(open, &QAction::triggered, [this] { togglePanel(); });
    QAction* settings = _menu.addAction(QStringLiteral("Settings..."));
    QObject::connect(settings, &QAction::triggered, [this] { _windows.open("settings"); });
    QAction* check = _menu.addAction(QStringLiteral("Check for Updates..."));
    check->setEnabled(_sparkle.canCheckForUpdates());
    QObject::connect(&_sparkle, &SparkleController::canCheckForUpdatesChanged, check,
                     &QAction::setEnabled);
    QObject::connect(check, &QAction::triggered, &_sparkle, &SparkleController::checkForUpdates);
    _menu.addSeparator();
    QAction* quit = _menu.addAction(QStringLiteral("Quit"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);
    _tray.setContextMenu(&_menu);
}

void ToccaApp::togglePanel() {
    if (_panel->isVisible()) {
        _panel->hide();
        return;
    }
    // Next to the icon where the tray tells where it is (XEmbed); at the
    // pointer otherwise (StatusNotifierItem hosts keep that to themselves).
    QRect anchor;
    if (QSystemTrayIcon* icon = _tray.trayIcon()) {
        anchor = icon->geometry();
    }
    if (!anchor.isValid() || anchor.isEmpty()) {
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    }
    _panel->panel().popup(anchor);
}

void ToccaApp::showAccessHelp(const std::string& text) {
    if (!_accessHelp) {
        _accessHelp = new QMessageBox(
            QMessageBox::Information, QStringLiteral("Keyboard access required"),
            QStringLiteral("Clavio cannot read the keyboard yet."), QMessageBox::Ok);
        _accessHelp->setAttribute(Qt::WA_DeleteOnClose);
        _accessHelp->setWindowModality(Qt::NonModal);
    }
    _accessHelp->setInformativeText(QString::fromStdString(text));
    _accessHelp->show();
    _accessHelp->raise();
    _accessHelp->activateWindow();
}

void ToccaApp::show(TrayController::StartMode mode) {
    _tray.start(mode);
}

void ToccaApp::openPanel() {
    if (!_tray.usesTray()) {
        _panel->panel().showAsWindow();
    } else if (!_panel->isVisible()) {
        togglePanel();
    } else {
        _panel->panel().raise();
        _panel->panel().activateWindow();
    }
}

} // namespace

int main(int argc, char** argv) {
    platform::installSafeFileWrites();
    platform::installThreadNaming();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Clavio"));
    QApplication::setApplicationVersion(QStringLiteral(CLAVIO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("clavio"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(applicationIcon());

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Mechanical-keyboard sounds that follow how hard each key is struck."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption replayOption(
        QStringLiteral("replay"),
        QStringLiteral("Play a recorded session trace in real time instead of reading the "
                       "keyboard and accelerometer (\"demo\": the bundled session)."),
        QStringLiteral("FILE"));
    parser.addOption(replayOption);
    const QCommandLineOption backgroundOption(
        QStringLiteral("background"),
        QStringLiteral("Start without opening the panel (as at login); starting Clavio again "
                       "opens it."));
    parser.addOption(backgroundOption);
    parser.process(app); // --help, --version and unknown options end here

    // A second start only asks the running Clavio for its panel.
    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Claim::handedOver:
        logLine("[Clavio] Clavio is already running: opening its panel");
        return 0;
    case SingleInstance::Claim::failed:
        logLine("[Clavio] " + instance.error());
        return 1;
    case SingleInstance::Claim::primary:
        break;
    }

    std::shared_ptr<ReplayTimeline> replay;
    if (parser.isSet(replayOption)) {
        std::filesystem::path trace = parser.value(replayOption).toStdString();
        if (trace == "demo") {
            trace = platform::resourceDir() / "demo" / "demo.trace.jsonl";
        }
        std::optional<TraceError> error;
        replay = ReplayTimeline::open(trace, error);
        if (!replay) {
            std::fprintf(stderr, "clavio: %s\n",
                         error ? error->text().c_str() : "the trace cannot be read");
            return 2;
        }
    }

    startReplayStat(replay);
    ToccaApp tocca(std::move(replay));
    if (!tocca.valid()) {
        return 1;
    }
    QObject::connect(&instance, &SingleInstance::openPanelRequested,
                     [&tocca] { tocca.openPanel(); });
    tocca.show(parser.isSet(backgroundOption) ? TrayController::StartMode::background
                                              : TrayController::StartMode::foreground);
    return app.exec();
}
