#include "platform/linux/audio/wav_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/linux/system/safe_file.h"

namespace clavio::platform {

namespace {
namespace fs = std::filesystem;

constexpr std::uint64_t kMaxWavDataBytes = WavWriter::kMaxDataBytes;

} // namespace

WavWriter::~WavWriter() {
    discard();
}

std::optional<std::string> WavWriter::open(const fs::path& path, int sampleRate, int channels) {
    discard();
    _error.reset();
    _frames = 0;
    if (sampleRate <= 0 || channels <= 0) {
        return path.string() + ": bad format (" + std::to_string(sampleRate) + " Hz, " +
               std::to_string(channels) + " channels)";
    }
    if (auto error = _out.open(path, FileSecrecy::shared, ExistingFile::replace)) {
        return error;
    }
    _target = path;
    const int fd = _out.releaseFd();
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    _file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!_file) {
        const std::string reason = sf_strerror(nullptr);
        ::close(fd);
        _out.discard();
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
    if (auto error = complete()) {
        return error;
    }
    return _out.commit();
}

std::optional<std::string> WavWriter::complete() {
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
        discard();
        return _error;
    }
    return std::nullopt;
}

void WavWriter::discard() noexcept {
    if (_file) {
        sf_close(_file);
        _file = nullptr;
    }
    _out.discard();
}

} // namespace clavio::platform
