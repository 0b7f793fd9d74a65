// Windows opened by identifier ("settings", "incompatible"). A window is
// created by its factory the first time it is opened and reused afterwards;
// opening one that is already open brings it forward. Closing a window hides
// it; the registry deletes the windows it created when it goes.
//
// Threading: main thread.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <string>

namespace clavio {

class WindowRegistry {
public:
    using Factory = std::function<QWidget*()>;

    WindowRegistry() = default;
    ~WindowRegistry();
    WindowRegistry(const WindowRegistry&) = delete;
    WindowRegistry& operator=(const WindowRegistry&) = delete;

    // Declares (or replaces the factory of) a window.
    void declare(const std::string& id, Factory factory);

    // Creates the window on first use, shows it, raises it and activates it.
    // Returns nullptr for an undeclared identifier or a factory that made
    // nothing.
    QWidget* open(const std::string& id);

    // The window made for `id`, or nullptr when it has not been opened (or
    // was deleted by someone else).
    QWidget* window(const std::string& id) const;

private:
    struct Entry {
        Factory factory;
        QPointer<QWidget> window;
    };
    std::map<std::string, Entry> _entries;
};

} // namespace clavio
