// What the fuzz targets share: a property check that libFuzzer reports, refusal and
// bit-exact settings checks, scratch folders and files. One thread, nothing shared.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

#include "engine/core/decode_result.h"
#include "engine/settings/settings_values.h"

namespace clavio::fuzz {

namespace fs = std::filesystem;

// A broken property is a finding like a crash: abort so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz property broken: %s (%s:%d)\n", what, file, line);
    std::abort();
}

#define CLAVIO_FUZZ_CHECK(cond)                                                                    \
    ((cond) ? static_cast<void>(0) : ::clavio::fuzz::fail(#cond, __FILE__, __LINE__))

// One non-empty line that a log shows whole: no line break, no NUL.
inline bool isOneLine(std::string_view error) {
    return !error.empty() &&
           error.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos;
}

// A JSON decoder's refusal: one line, naming the JSON path where it failed.
inline void checkRefusal(const DecodeError& error) {
    CLAVIO_FUZZ_CHECK(isOneLine(error.text()));
    CLAVIO_FUZZ_CHECK(error.path.rfind("$", 0) == 0);
}

// Bit-for-bit: a float read back as another that compares equal (-0 for 0) is a lossy writer.
inline bool sameBits(const SettingsValues& a, const SettingsValues& b) {
    const auto same = [](auto x, auto y) {
        using Bits = std::conditional_t<sizeof(x) == 4, std::uint32_t, std::uint64_t>;
        return std::bit_cast<Bits>(x) == std::bit_cast<Bits>(y);
    };
    return a == b && same(a.masterVolume, b.masterVolume) && same(a.searchPreMs, b.searchPreMs) &&
           same(a.searchPostMs, b.searchPostMs) && same(a.baselineWindowMs, b.baselineWindowMs) &&
           same(a.highpassAlpha, b.highpassAlpha) && same(a.deadzone, b.deadzone) &&
           same(a.hardCap, b.hardCap) && same(a.compressGamma, b.compressGamma) &&
           same(a.softThreshold, b.softThreshold) && same(a.mediumThreshold, b.mediumThreshold) &&
           same(a.hardThreshold, b.hardThreshold) && same(a.slamThreshold, b.slamThreshold) &&
           same(a.pitchVariation, b.pitchVariation) && same(a.gainVariation, b.gainVariation) &&
           same(a.crossfadeWidth, b.crossfadeWidth) && same(a.minInterKeyGapMs, b.minInterKeyGapMs);
}

// A private folder under $TMPDIR (else /dev/shm, else /tmp), removed with
// everything in it at process exit; a crashing run leaves it behind.
class ScratchDir {
public:
    ScratchDir() {
        // Memory-backed when possible: rewriting a file on disk costs more than decoding.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp ? tmp : fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/clavio-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("clavio fuzz: mkdtemp");
            std::abort();
        }
        _path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return _path; }

private:
    fs::path _path;
};

// A scratch $XDG_CONFIG_HOME and $HOME, with the folder `sub` that clear() empties.
struct ScratchHome {
    ScratchDir dir;
    fs::path folder;

    explicit ScratchHome(const fs::path& sub) : folder(dir.path() / sub) {
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        setenv("HOME", dir.path().c_str(), 1);
        fs::create_directories(folder);
    }
    void clear() {
        for (const auto& entry : fs::directory_iterator(folder)) {
            fs::remove_all(entry.path());
        }
    }
};

// The whole contents of `path`; aborts on failure (the harness's, not a finding).
inline void writeWholeFile(const fs::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "clavio fuzz: cannot write %s\n", path.c_str());
        std::abort();
    }
}

// The whole contents of a file, or nothing when it cannot be opened.
inline std::optional<std::string> readWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One scratch file whose contents each input replaces, hard-linked under other names so a
// decoder that looks at the name sees the same bytes under each without a second write.
class ScratchFile {
public:
    explicit ScratchFile(const std::vector<std::string>& names) {
        for (const auto& name : names) {
            _paths.push_back(_dir.path() / name);
        }
        write(nullptr, 0);
        for (std::size_t i = 1; i < _paths.size(); ++i) {
            fs::create_hard_link(_paths[0], _paths[i]); // throws: no run without it
        }
    }
    // Replaces the contents in place (same inode, so every name sees them).
    void write(const std::uint8_t* data, std::size_t size) {
        writeWholeFile(_paths[0], data, size);
    }
    const std::vector<fs::path>& paths() const { return _paths; }

private:
    ScratchDir _dir;
    std::vector<fs::path> _paths;
};

} // namespace clavio::fuzz
