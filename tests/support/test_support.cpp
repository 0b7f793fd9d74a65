#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
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
    namespace fs = std::filesystem;
    std::error_code ec;
    // Tests may make folders read-only; give permissions back so removal works.
    fs::permissions(_path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator
             it(_path, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(_path, ec);
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
    _previous ? setenv(_name.c_str(), _previous->c_str(), 1) : unsetenv(_name.c_str());
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

LogCapture::~LogCapture() {
    setLogSink(std::move(_previous));
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(_mutex);
    return _lines;
}

size_t LogCapture::count(const std::string& needle) const {
    std::lock_guard lock(_mutex);
    return size_t(std::count_if(_lines.begin(), _lines.end(), [&](const std::string& l) {
        return l.find(needle) != std::string::npos;
    }));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

} // namespace clavio::testing
