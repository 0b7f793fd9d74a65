#include "app/views/panel_host.h"

#include "app/services/input_group_join.h"

namespace clavio {

PanelHost::PanelHost(Factory factory) : _factory(std::move(factory)) {}

PanelHost::~PanelHost() {
    delete _panel.data();
}

MenuBarDropdown& PanelHost::panel() {
    if (!_panel) {
        MenuBarDropdown* panel = _factory().release();
        if (_compatibilityChecked) {
            panel->skipCompatibilityCheck();
        }
        // Released after the hide has been handled, and only if it is still
        // hidden then: changing a shown window's flags hides and shows it again
        // within one call.
        QObject::connect(panel, &MenuBarDropdown::hidden, panel, [this, panel] {
            QMetaObject::invokeMethod(
                panel, [this, panel] { releaseIfHidden(panel); }, Qt::QueuedConnection);
        });
        _panel = panel;
    }
    return *_panel;
}

void PanelHost::hide() {
    if (_panel) {
        _panel->hide();
    }
}

void PanelHost::releaseIfHidden(MenuBarDropdown* panel) {
    if (panel != _panel || panel->isVisible()) {
        return;
    }
    // A keyboard-access request still running (the system's password prompt
    // takes the focus, which hides the panel) would be killed with it: the
    // panel goes once the request has ended, if it is hidden then.
    for (InputGroupJoin* job : panel->findChildren<InputGroupJoin*>()) {
        if (job->isRunning()) {
            QObject::connect(
                job, &InputGroupJoin::finished, panel,
                [this, panel] { releaseIfHidden(panel); },
                Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
            return;
        }
    }
    _compatibilityChecked = _compatibilityChecked || panel->compatibilityCheck().didCheckCompat();
    _panel = nullptr;
    panel->deleteLater();
}

} // namespace clavio
