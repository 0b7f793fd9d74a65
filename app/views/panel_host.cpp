#include "app/views/panel_host.h"

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
    _compatibilityChecked = _compatibilityChecked || panel->compatibilityCheck().didCheckCompat();
    _panel = nullptr;
    panel->deleteLater();
}

} // namespace clavio
