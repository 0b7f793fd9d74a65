// The settings window's General tab: the "Launch at login" switch and the
// mute shortcut's recorder (ShortcutRecorder).
//
// The switch shows `loginEnabled`, which starts false and is set from the
// settings' launchAtLogin each time the tab appears. Every change of
// loginEnabled runs the login-item action: store launchAtLogin, save, then
// register (or unregister) the login item. The refresh on appearing counts
// as a change when launchAtLogin is true, so each appearance with it true
// registers the login item again and saves once; with it false the
// login-item service is not called. The platform's own login-item state is
// never read: the settings are the truth.
//
// Threading: main thread.
#pragma once

#include <QPushButton>

class QLabel;
#include <QWidget>

#include <functional>

namespace clavio {

class CoordinatorBridge;
class ToccaCoordinator;
class ToccaSettings;
class ToggleSwitch;

// Registers (true) or unregisters (false) the login item; false on failure,
// which the action has already logged.
using LoginItemAction = std::function<bool(bool enabled)>;

// The mute shortcut: a button showing the stored chord ("Ctrl+Alt+M") or
// "Record Shortcut"; clicked, it waits for keys ("Press the keys...") and
// stores the first chord of modifiers plus one key; Escape cancels; a key
// without Ctrl, Alt, Shift or Super, or a key the shortcut cannot use, is
// refused with a line under it. "Clear" removes the shortcut.
class ShortcutRecorder : public QWidget {
    Q_OBJECT
public:
    explicit ShortcutRecorder(ToccaCoordinator& coordinator, QWidget* parent = nullptr);
    void refresh();
    bool isRecording() const { return _recording; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setRecording(bool recording);

    ToccaCoordinator& _coordinator;
    QPushButton* _field;
    QPushButton* _clear;
    QLabel* _message;
    bool _recording = false;
};

class GeneralTab : public QWidget {
    Q_OBJECT
public:
    GeneralTab(CoordinatorBridge& bridge, LoginItemAction loginItem, QWidget* parent = nullptr);

    bool loginEnabled() const { return _loginEnabled; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setLoginEnabled(bool enabled);

    ToccaSettings& _settings;
    LoginItemAction _loginItem;
    ToggleSwitch* _switch;
    ShortcutRecorder* _shortcut;
    bool _loginEnabled = false;
};

} // namespace clavio
