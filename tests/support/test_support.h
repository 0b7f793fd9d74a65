// Helpers shared by every test suite: temporary folders, scoped environment
// variables (temporary XDG folders, never the real home) and log capture.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/log.h"

namespace clavio::testing {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return _path; }
    std::filesystem::path operator/(const std::string& child) const { return _path / child; }

private:
    std::filesystem::path _path;
};

// Sets (or unsets, with nullopt) an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string _name;
    std::optional<std::string> _previous;
};

// Points XDG_CONFIG_HOME, XDG_DATA_HOME and HOME at a temporary folder.
class ScopedXdgHome {
public:
    ScopedXdgHome();
    const std::filesystem::path& root() const { return _dir.path(); }
    std::filesystem::path configHome() const { return _dir.path() / "config"; }
    std::filesystem::path dataHome() const { return _dir.path() / "data"; }

private:
    TempDir _dir;
    ScopedEnv _config;
    ScopedEnv _data;
    ScopedEnv _home;
};

// Captures every log line written during its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }
    size_t count(const std::string& needle) const;

private:
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;
    LogSink _previous;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

} // namespace clavio::testing
