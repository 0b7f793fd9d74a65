#include "platform/linux/desktop/linux_machine_description.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

namespace clavio::platform {

namespace {

// Sysfs and procfs values are short; a limit keeps a runaway fake file (or
// a FIFO) from being read without end.
constexpr std::size_t kMaxLineBytes = 4096;
constexpr int kMaxLines = 20000;

std::string trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r\n\v\f");
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t\r\n\v\f");
    return std::string(text.substr(begin, end - begin + 1));
}

bool isRegularFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::string> firstLine(const std::filesystem::path& path) {
    if (!isRegularFile(path)) {
        return std::nullopt;
    }
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    line.resize(std::min(line.size(), kMaxLineBytes));
    return trim(line);
}

// An os-release value: unquoted, or in single or double quotes with
// backslash escapes inside double quotes.
std::string osReleaseValue(std::string_view raw) {
    std::string value = trim(raw);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        const char quote = value.front();
        std::string out;
        for (std::size_t i = 1; i + 1 < value.size(); ++i) {
            if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) {
                ++i;
            }
            out.push_back(value[i]);
        }
        return out;
    }
    return value;
}

std::map<std::string, std::string> readOsRelease(const std::filesystem::path& path) {
    std::map<std::string, std::string> fields;
    if (!isRegularFile(path)) {
        return fields;
    }
    std::ifstream in(path);
    std::string line;
    for (int n = 0; n < kMaxLines && std::getline(in, line); ++n) {
        const std::string text = trim(line);
        const auto equals = text.find('=');
        if (text.empty() || text.front() == '#' || equals == std::string::npos) {
            continue;
        }
        fields[trim(std::string_view(text).substr(0, equals))] =
            osReleaseValue(std::string_view(text).substr(equals + 1));
    }
    return fields;
}

} // namespace

LinuxMachineDescription::LinuxMachineDescription(std::filesystem::path root)
    : _root(std::move(root)) {}

std::string LinuxMachineDescription::hardwareModel() const {
    return firstLine(_root / "sys/devices/virtual/dmi/id/product_name").value_or("");
}

std::string LinuxMachineDescription::processorName() const {
    const auto path = _root / "proc/cpuinfo";
    if (!isRegularFile(path)) {
        return {};
    }
    std::ifstream in(path);
    std::string line;
    for (int n = 0; n < kMaxLines && std::getline(in, line); ++n) {
        const auto colon = line.find(':');
        if (colon == std::string::npos ||
            trim(std::string_view(line).substr(0, colon)) != "model name") {
            continue;
        }
        return trim(std::string_view(line).substr(colon + 1, kMaxLineBytes));
    }
    return {};
}

std::string LinuxMachineDescription::osVersion() const {
    auto fields = readOsRelease(_root / "etc/os-release");
    if (fields.empty()) {
        fields = readOsRelease(_root / "usr/lib/os-release");
    }
    if (auto it = fields.find("PRETTY_NAME"); it != fields.end() && !it->second.empty()) {
        return it->second;
    }
    if (auto it = fields.find("NAME"); it != fields.end() && !it->second.empty()) {
        const auto version = fields.find("VERSION_ID");
        return version != fields.end() && !version->second.empty()
                   ? it->second + " " + version->second
                   : it->second;
    }
    return "Linux";
}

std::string LinuxMachineDescription::localeIdentifier() const {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(variable); value && *value) {
            return localeFromPosixName(value);
        }
    }
    return localeFromPosixName("");
}

std::string LinuxMachineDescription::localeFromPosixName(std::string_view name) {
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") {
        return "en_US_POSIX";
    }
    std::string identifier;
    for (const char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!plain) {
            return "en_US_POSIX"; // not a locale name: report none rather than garbage
        }
        identifier.push_back(c == '-' ? '_' : c);
    }
    return identifier;
}

} // namespace clavio::platform
