// The application's presence in the desktop: a tray icon (StatusNotifierItem
// on KDE and GNOME with the AppIndicator extension, XEmbed elsewhere) whose
// look follows the sound switch, with a context menu and a click that opens
// the panel. Where the desktop offers no tray the panel opens as a small
// normal window at start instead, so the application stays usable; started
// in the background (at login) nothing opens, and starting Clavio again
// opens the panel through the single-instance hand-over.
//
// Threading: main thread.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace clavio {

class TrayController : public QObject {
    Q_OBJECT
public:
    explicit TrayController(QObject* parent = nullptr);
    ~TrayController() override;

    // Redraws the icon; callable before and after start().
    void setSoundEnabled(bool soundEnabled);
    bool soundEnabled() const { return _soundEnabled; }

    // The right-click menu; not owned.
    void setContextMenu(QMenu* menu);
    // Opens the panel: on a left click of the icon, or at start without a tray.
    void setPanelOpener(std::function<void()> openPanel);

    enum class StartMode { foreground, background };

    // Shows the tray icon when the desktop has a tray and returns true;
    // otherwise returns false, having called the panel opener once in the
    // foreground and nothing in the background.
    bool start(StartMode mode = StartMode::foreground);
    bool usesTray() const { return _usesTray; }

    // The icon object (hidden until start() finds a tray).
    QSystemTrayIcon* trayIcon() const { return _tray.get(); }

private:
    std::unique_ptr<QSystemTrayIcon> _tray;
    std::function<void()> _openPanel;
    bool _soundEnabled = true;
    bool _usesTray = false;
};

} // namespace clavio
