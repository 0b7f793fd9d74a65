// Helpers shared by the fuzz targets: a property check that makes libFuzzer
// keep the input, and a scratch file for decoders that read by path.
//
// Threading: libFuzzer calls a target from one thread; nothing here is
// shared between threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace clavio::fuzz {

// A broken property is a finding like a crash: abort so libFuzzer writes the
// input to its artifact folder.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz property broken: %s (%s:%d)\n", what, file, line);
    std::abort();
}

#define CLAVIO_FUZZ_CHECK(cond)                                                                    \
    ((cond) ? static_cast<void>(0) : ::clavio::fuzz::fail(#cond, __FILE__, __LINE__))

// A decoder's error must be one non-empty line.
inline bool isOneLine(std::string_view error) {
    return !error.empty() && error.find('\n') == std::string_view::npos &&
           error.find('\r') == std::string_view::npos;
}

// A private folder under $TMPDIR (else /dev/shm, else /tmp) holding one file whose contents
// each input replaces, plus hard links to it under other names: a decoder
// that looks at the file name sees the same bytes under every name without a
// second write. Removed at process exit; a crashing run leaves it behind.
class ScratchFile {
public:
    explicit ScratchFile(const std::vector<std::string>& names) {
        // Memory-backed when possible: rewriting a file on ext4 for every
        // input costs more than the decoding.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp && *tmp ? tmp : "/tmp";
        if (!(tmp && *tmp) && std::filesystem::is_directory("/dev/shm")) {
            base = "/dev/shm";
        }
        std::string pattern = base + "/clavio-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            std::perror("clavio fuzz: mkdtemp");
            std::abort();
        }
        _dir = pattern;
        for (const auto& name : names) {
            _paths.push_back(_dir / name);
        }
        write(nullptr, 0);
        for (std::size_t i = 1; i < _paths.size(); ++i) {
            std::error_code ec;
            std::filesystem::create_hard_link(_paths[0], _paths[i], ec);
            if (ec) {
                std::fprintf(stderr, "clavio fuzz: link %s: %s\n", _paths[i].c_str(),
                             ec.message().c_str());
                std::abort();
            }
        }
    }
    ~ScratchFile() {
        std::error_code ec;
        std::filesystem::remove_all(_dir, ec);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Replaces the contents in place (same inode, so every name sees them).
    void write(const std::uint8_t* data, std::size_t size) {
        std::ofstream out(_paths[0], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) {
            std::fprintf(stderr, "clavio fuzz: cannot write %s\n", _paths[0].c_str());
            std::abort();
        }
    }
    const std::vector<std::filesystem::path>& paths() const { return _paths; }

private:
    std::filesystem::path _dir;
    std::vector<std::filesystem::path> _paths;
};

} // namespace clavio::fuzz
