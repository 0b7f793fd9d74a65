#include "platform/linux/audio/wav_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/linux/system/file_sync.h"

namespace clavio::platform {

namespace {
namespace fs = std::filesystem;

constexpr std::uint64_t kMaxWavDataBytes = WavWriter::kMaxDataBytes;

std::string randomSuffix() {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 12; ++i) {
        s.push_back(kDigits[rng() % 16]);
    }
    return s;
}

fs::path folderOf(const fs::path& path) {
    return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

// Creates a new file next to `target` that did not exist before (O_EXCL),
// with the usual permissions (0666 less the umask). Returns the descriptor
// or -1 with errno set.
int createSibling(const fs::path& target, const std::string& infix, fs::path& created) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        created = target.string() + infix + randomSuffix();
        const int fd = ::open(created.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// The file a path names once symbolic links are followed, so that writing
// through a link replaces what it points to, not the link.
fs::path resolveTarget(const fs::path& path) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        const fs::path resolved = fs::weakly_canonical(path, ec);
        if (!ec) {
            return resolved;
        }
    }
    return path;
}
} // namespace

WavWriter::~WavWriter() {
    discard();
}

std::optional<std::string> WavWriter::checkWritable(const fs::path& requested) {
    if (requested.empty()) {
        return std::string("no output file given");
    }
    const fs::path path = resolveTarget(requested);
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (fs::is_directory(status)) {
        return requested.string() + ": is a folder";
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        return requested.string() + ": is not a regular file";
    }
    const fs::path folder = folderOf(path);
    const auto folderStatus = fs::status(folder, ec);
    if (!fs::exists(folderStatus)) {
        return requested.string() + ": folder " + folder.string() + " does not exist";
    }
    if (!fs::is_directory(folderStatus)) {
        return requested.string() + ": " + folder.string() + " is not a folder";
    }
    fs::path probe;
    const int fd = createSibling(path, ".probe-", probe);
    if (fd < 0) {
        return requested.string() + ": cannot create a file in " + folder.string() + ": " +
               std::strerror(errno);
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return std::nullopt;
}

std::optional<std::string> WavWriter::open(const fs::path& path, int sampleRate, int channels) {
    discard();
    _error.reset();
    _frames = 0;
    if (sampleRate <= 0 || channels <= 0) {
        return path.string() + ": bad format (" + std::to_string(sampleRate) + " Hz, " +
               std::to_string(channels) + " channels)";
    }
    if (auto error = checkWritable(path)) {
        return error;
    }
    _target = resolveTarget(path);
    const int fd = createSibling(_target, ".tmp-", _temp);
    if (fd < 0) {
        return path.string() + ": cannot create a temporary file: " + std::strerror(errno);
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    _file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!_file) {
        const std::string reason = sf_strerror(nullptr);
        ::close(fd);
        ::unlink(_temp.c_str());
        return path.string() + ": " + reason;
    }
    // libsndfile adds a PEAK chunk to float files, stamped with the time of
    // writing: two renders of the same session would differ in those bytes.
    sf_command(_file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    _channels = channels;
    _maxFrames = kMaxWavDataBytes / (std::uint64_t(channels) * sizeof(float));
    return std::nullopt;
}

std::optional<std::string> WavWriter::write(const float* interleaved, std::size_t frames) {
    if (_error) {
        return _error;
    }
    if (!_file) {
        return std::string("no WAV file open");
    }
    if (_frames + frames > _maxFrames) {
        _error = _target.string() + ": too long for a WAV file";
        return _error;
    }
    const sf_count_t written = sf_writef_float(_file, interleaved, sf_count_t(frames));
    if (written != sf_count_t(frames)) {
        _error = _target.string() + ": " + sf_strerror(_file);
        return _error;
    }
    _frames += frames;
    return std::nullopt;
}

std::optional<std::string> WavWriter::finish() {
    if (!_file) {
        return _error ? _error : std::optional<std::string>("no WAV file open");
    }
    if (_error) {
        const auto error = _error;
        discard();
        return error;
    }
    sf_write_sync(_file);
    const int closeError = sf_close(_file);
    _file = nullptr;
    if (closeError != 0) {
        _error = _target.string() + ": " + sf_error_number(closeError);
    } else if (!fsyncPath(_temp)) {
        _error = _target.string() + ": cannot flush to disk";
    } else if (::rename(_temp.c_str(), _target.c_str()) != 0) {
        _error = _target.string() + ": cannot move into place: " + std::strerror(errno);
    }
    if (_error) {
        ::unlink(_temp.c_str());
        _temp.clear();
        return _error;
    }
    _temp.clear();
    fsyncPath(folderOf(_target));
    return std::nullopt;
}

void WavWriter::discard() noexcept {
    if (_file) {
        sf_close(_file);
        _file = nullptr;
    }
    if (!_temp.empty()) {
        ::unlink(_temp.c_str());
        _temp.clear();
    }
}

} // namespace clavio::platform
