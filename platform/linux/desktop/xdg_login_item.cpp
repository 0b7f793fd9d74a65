#include "platform/linux/desktop/xdg_login_item.h"

#include <fstream>
#include <system_error>

#include "engine/core/atomic_file.h"
#include "engine/core/log.h"
#include "engine/core/paths.h"

namespace clavio::platform {

namespace {

constexpr const char* kEntryName = "clavio.desktop";

// Quotes one Exec argument by the desktop entry rules: inside double quotes
// '"', '`', '$' and '\' take a backslash, '%' is doubled, and the whole value
// then gets the string escape for '\' (so a literal backslash becomes four).
std::optional<std::string> execArgument(const std::string& arg, std::string& error) {
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool needsQuotes = false;
    for (unsigned char c : arg) {
        if (c < 0x20 || c == 0x7f) {
            error = "The executable path cannot be written into an autostart entry "
                    "(it holds a control character): " +
                    arg;
            return std::nullopt;
        }
        if (reserved.find(static_cast<char>(c)) != std::string::npos) {
            needsQuotes = true;
        }
    }
    std::string out;
    if (needsQuotes) {
        out.push_back('"');
    }
    for (char c : arg) {
        if (c == '%') {
            out += "%%";
        } else if (needsQuotes && c == '\\') {
            out += "\\\\\\\\";
        } else if (needsQuotes && (c == '"' || c == '`' || c == '$')) {
            out += "\\\\";
            out.push_back(c);
        } else {
            out.push_back(c);
        }
    }
    if (needsQuotes) {
        out.push_back('"');
    }
    return out;
}

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    const auto end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

} // namespace

XdgLoginItem::XdgLoginItem(std::filesystem::path executable,
                           std::optional<std::filesystem::path> configHome)
    : _executable(std::move(executable)), _configHome(std::move(configHome)) {}

std::filesystem::path XdgLoginItem::entryPath() const {
    return (_configHome ? *_configHome : xdgConfigHome()) / "autostart" / kEntryName;
}

std::optional<std::string> XdgLoginItem::registerLoginItem() const {
    if (_executable.empty() || !_executable.is_absolute()) {
        return "The autostart entry needs an absolute executable path, not \"" +
               _executable.string() + "\"";
    }
    std::string error;
    const auto exec = execArgument(_executable.string(), error);
    if (!exec) {
        return error;
    }
    const std::filesystem::path path = entryPath();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
        return "Could not create " + path.parent_path().string() + ": " + ec.message();
    }
    if (std::filesystem::is_directory(path, ec)) {
        return "Could not write " + path.string() + ": a folder is in the way";
    }
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Clavio\n"
                       "Comment=Keyboard sounds that follow how hard you type\n"
                       "Exec=" +
                       *exec +
                       " --background\n"
                       "Icon=clavio\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n";
    if (auto failed = writeFileAtomically(path, text)) {
        return "Could not write the autostart entry: " + *failed;
    }
    return std::nullopt;
}

std::optional<std::string> XdgLoginItem::unregisterLoginItem() const {
    const std::filesystem::path path = entryPath();
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::exists(st)) {
        return std::nullopt; // nothing to remove
    }
    if (std::filesystem::is_directory(st)) {
        return "Could not remove " + path.string() + ": it is a folder, not an autostart entry";
    }
    std::filesystem::remove(path, ec);
    if (ec) {
        return "Could not remove " + path.string() + ": " + ec.message();
    }
    return std::nullopt;
}

LoginItemStatus XdgLoginItem::status() const {
    const std::filesystem::path path = entryPath();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return LoginItemStatus::notRegistered;
    }
    std::ifstream in(path);
    if (!in) {
        return LoginItemStatus::notRegistered;
    }
    bool inMainGroup = false;
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return LoginItemStatus::disabledByUser;
        }
    }
    return LoginItemStatus::enabled;
}

std::filesystem::path XdgLoginItem::currentExecutable() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe;
}

bool applyLoginItem(const XdgLoginItem& item, bool enabled) {
    const auto error = enabled ? item.registerLoginItem() : item.unregisterLoginItem();
    if (error) {
        logLine("[Clavio] Launch at login failed: " + *error);
        return false;
    }
    return true;
}

} // namespace clavio::platform
