// The settings window's General tab: one switch, "Launch at login".
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

#include <QWidget>

#include <functional>

namespace clavio {

class CoordinatorBridge;
class ToccaSettings;
class ToggleSwitch;

// Registers (true) or unregisters (false) the login item; false on failure,
// which the action has already logged.
using LoginItemAction = std::function<bool(bool enabled)>;

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
    bool _loginEnabled = false;
};

} // namespace clavio
