#include "app/shell/window_registry.h"

#include "engine/core/log.h"

namespace clavio {

WindowRegistry::~WindowRegistry() {
    for (auto& [id, entry] : _entries) {
        delete entry.window.data();
    }
}

void WindowRegistry::declare(const std::string& id, Factory factory) {
    _entries[id].factory = std::move(factory);
}

QWidget* WindowRegistry::open(const std::string& id) {
    const auto it = _entries.find(id);
    if (it == _entries.end() || !it->second.factory) {
        logLine("[Clavio] No window named \"" + id + "\"");
        return nullptr;
    }
    Entry& entry = it->second;
    if (!entry.window) {
        entry.window = entry.factory();
        if (!entry.window) {
            return nullptr;
        }
        // The registry keeps the window for reuse; a window deleting itself
        // on close would only be recreated, losing its state.
        entry.window->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    QWidget* w = entry.window;
    if (w->isMinimized()) {
        w->showNormal();
    } else {
        w->show();
    }
    w->raise();
    w->activateWindow();
    return w;
}

QWidget* WindowRegistry::window(const std::string& id) const {
    const auto it = _entries.find(id);
    return it == _entries.end() ? nullptr : it->second.window.data();
}

} // namespace clavio
