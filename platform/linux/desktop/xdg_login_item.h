// Launch at login through an XDG autostart entry: the desktop session starts
// every application that has a desktop entry in $XDG_CONFIG_HOME/autostart.
// Writing "clavio.desktop" there registers Clavio, removing it unregisters.
// The entry starts "<executable> --background", so no panel opens at login.
//
// Threading: main thread (the settings window); no shared state besides the
// file itself.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace clavio::platform {

enum class LoginItemStatus { notRegistered, enabled, disabledByUser };

class XdgLoginItem {
public:
    // `executable` is what the session starts; `configHome` defaults to the
    // XDG config folder resolved at each call.
    explicit XdgLoginItem(std::filesystem::path executable,
                          std::optional<std::filesystem::path> configHome = std::nullopt);

    // Writes the autostart entry atomically, creating the folder if needed.
    // Returns a readable error on failure; the previous entry is then
    // untouched. An executable path that an Exec line cannot carry (relative,
    // or holding a control character) is refused.
    std::optional<std::string> registerLoginItem() const;
    // Removes the entry; succeeds when there is none.
    std::optional<std::string> unregisterLoginItem() const;

    // notRegistered: no entry. disabledByUser: an entry that the session will
    // skip (Hidden=true or X-GNOME-Autostart-enabled=false, as written by
    // desktop settings tools). enabled: an entry the session will start.
    LoginItemStatus status() const;

    std::filesystem::path entryPath() const;

    // The running executable (/proc/self/exe), or empty when unknown.
    static std::filesystem::path currentExecutable();

private:
    std::filesystem::path _executable;
    std::optional<std::filesystem::path> _configHome;
};

// The settings window's login-item step: registers when `enabled`, else
// unregisters; a failure is logged as "[Clavio] Launch at login failed: <reason>"
// and reported by the false return. Nothing else happens on failure.
bool applyLoginItem(const XdgLoginItem& item, bool enabled);

} // namespace clavio::platform
