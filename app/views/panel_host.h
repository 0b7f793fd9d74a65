// Holds the panel only while it is open: built when it is first asked for and
// released when it hides, so that an app left in the tray keeps none of its
// widgets (about 2 MB of heap, fonts and touched Qt code). Everything the
// panel shows is read from the coordinator and the settings each time it
// appears, so a rebuilt panel looks as the last one did; the incompatible
// window's once-per-process check is carried from one panel to the next.
//
// Threading: main thread.
#pragma once

#include <QPointer>

#include <functional>
#include <memory>

#include "app/views/menu_bar_dropdown.h"

namespace clavio {

class PanelHost {
public:
    using Factory = std::function<std::unique_ptr<MenuBarDropdown>()>;

    explicit PanelHost(Factory factory);
    ~PanelHost();
    PanelHost(const PanelHost&) = delete;
    PanelHost& operator=(const PanelHost&) = delete;

    // The panel, built now when there is none.
    MenuBarDropdown& panel();
    // The panel while one exists, null once a hidden one was released.
    MenuBarDropdown* current() const { return _panel.data(); }
    bool isVisible() const { return _panel && _panel->isVisible(); }
    void hide();

private:
    void releaseIfHidden(MenuBarDropdown* panel);

    Factory _factory;
    QPointer<MenuBarDropdown> _panel;
    bool _compatibilityChecked = false;
};

} // namespace clavio
