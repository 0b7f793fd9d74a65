#include "app/shell/tray_controller.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include "app/shell/menu_bar_icon.h"
#include "engine/core/log.h"

namespace clavio {

TrayController::TrayController(QObject* parent)
    : QObject(parent), _tray(std::make_unique<QSystemTrayIcon>()) {
    _tray->setIcon(MenuBarIcon::icon(_soundEnabled));
    _tray->setToolTip(QStringLiteral("Clavio"));
    connect(_tray.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A double click arrives as Trigger then DoubleClick; answering
                // both would open the panel and close it again at once.
                if (reason == QSystemTrayIcon::Trigger && _openPanel) {
                    _openPanel();
                }
            });
}

TrayController::~TrayController() = default;

void TrayController::setSoundEnabled(bool soundEnabled) {
    if (soundEnabled == _soundEnabled) {
        return;
    }
    _soundEnabled = soundEnabled;
    _tray->setIcon(MenuBarIcon::icon(soundEnabled));
}

void TrayController::setContextMenu(QMenu* menu) {
    _tray->setContextMenu(menu);
}

void TrayController::setPanelOpener(std::function<void()> openPanel) {
    _openPanel = std::move(openPanel);
}

bool TrayController::start(StartMode mode) {
    _usesTray = QSystemTrayIcon::isSystemTrayAvailable();
    if (_usesTray) {
        _tray->show();
        return true;
    }
    if (mode == StartMode::background) {
        logLine("[Clavio] No system tray available; the panel opens when Clavio is started "
                "again");
        return false;
    }
    logLine("[Clavio] No system tray available; showing the panel as a window");
    if (_openPanel) {
        _openPanel();
    }
    return false;
}

} // namespace clavio
