#include "app/views/general_tab.h"

#include <QShowEvent>
#include <QVBoxLayout>

#include "app/services/coordinator_bridge.h"
#include "app/widgets/form_section.h"
#include "app/widgets/toggle_switch.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/settings/tocca_settings.h"

namespace clavio {

GeneralTab::GeneralTab(CoordinatorBridge& bridge, LoginItemAction loginItem, QWidget* parent)
    : QWidget(parent), _settings(bridge.coordinator().settings()),
      _loginItem(std::move(loginItem)) {
    setObjectName(QStringLiteral("generalTab"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    auto* section = new FormSection;
    _switch = new ToggleSwitch;
    _switch->setObjectName(QStringLiteral("launchAtLogin"));
    _switch->setAccessibleName(QStringLiteral("Launch at login"));
    section->addRow(QStringLiteral("Launch at login"), _switch);
    column->addWidget(section);
    column->addStretch(1);

    connect(_switch, &ToggleSwitch::toggled, this, &GeneralTab::setLoginEnabled);
}

void GeneralTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) {
        return; // un-minimising is no new appearance
    }
    const bool stored = _settings.launchAtLogin();
    // Each appearance starts from the settings: a true value re-registers.
    _loginEnabled = false;
    _switch->setCheckedSilently(stored);
    if (stored) {
        setLoginEnabled(true);
    }
}

void GeneralTab::setLoginEnabled(bool enabled) {
    _loginEnabled = enabled;
    _switch->setCheckedSilently(enabled);
    _settings.setLaunchAtLogin(enabled);
    _settings.save();
    if (_loginItem) {
        _loginItem(enabled);
    }
}

} // namespace clavio
