#include "tests/support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace clavio::testing {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/clavio-test-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may make folders read-only; give permissions back so removal works.
    for (auto it = std::filesystem::recursive_directory_iterator(
             _path, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
    }
    std::filesystem::permissions(_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(_path, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : _name(std::move(name)) {
    if (const char* old = std::getenv(_name.c_str())) {
        _previous = old;
    }
    if (value) {
        setenv(_name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(_name.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (_previous) {
        setenv(_name.c_str(), _previous->c_str(), 1);
    } else {
        unsetenv(_name.c_str());
    }
}

ScopedXdgHome::ScopedXdgHome()
    : _config("XDG_CONFIG_HOME", (_dir.path() / "config").string()),
      _data("XDG_DATA_HOME", (_dir.path() / "data").string()),
      _home("HOME", (_dir.path() / "home").string()) {
    std::filesystem::create_directories(_dir.path() / "home");
}

LogCapture::LogCapture() {
    _previous = setLogSink([this](std::string_view line) {
        std::lock_guard lock(_mutex);
        _lines.emplace_back(line);
    });
}

LogCapture::~LogCapture() { setLogSink(std::move(_previous)); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(_mutex);
    return _lines;
}

bool LogCapture::contains(const std::string& needle) const { return count(needle) > 0; }

size_t LogCapture::count(const std::string& needle) const {
    std::lock_guard lock(_mutex);
    size_t n = 0;
    for (const auto& l : _lines) {
        if (l.find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

} // namespace clavio::testing
