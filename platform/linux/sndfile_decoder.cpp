#include "clavio_platform/sndfile_decoder.h"

#include <sndfile.h>

#include <new>

namespace clavio::platform {

namespace {
struct SndfileCloser {
    SNDFILE* file;
    ~SndfileCloser() {
        if (file) {
            sf_close(file);
        }
    }
};
} // namespace

bool SndfileDecoder::decode(const std::filesystem::path& path, DecodedAudio& out,
                            std::string& error) const {
    SF_INFO info{};
    SndfileCloser file{sf_open(path.c_str(), SFM_READ, &info)};
    if (!file.file) {
        error = path.string() + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels <= 0 || info.samplerate <= 0) {
        error = path.string() + ": no channels or no sample rate";
        return false;
    }
    if (info.frames <= 0) {
        error = path.string() + ": no frames";
        return false;
    }
    const auto samples = static_cast<std::uint64_t>(info.frames) * std::uint64_t(info.channels);
    if (samples > kMaxDecodedSamples || info.frames > sf_count_t(UINT32_MAX)) {
        error = path.string() + ": too long (" + std::to_string(info.frames) + " frames)";
        return false;
    }
    try {
        out.frames.assign(samples, 0.0f);
    } catch (const std::bad_alloc&) {
        error = path.string() + ": out of memory";
        return false;
    }
    // Read in slices so a truncated file yields what it holds instead of a
    // length the header promised.
    sf_count_t read = 0;
    while (read < info.frames) {
        const sf_count_t got = sf_readf_float(file.file, out.frames.data() + read * info.channels,
                                              info.frames - read);
        if (got <= 0) {
            break;
        }
        read += got;
    }
    if (sf_error(file.file) != SF_ERR_NO_ERROR && read == 0) {
        error = path.string() + ": " + sf_strerror(file.file);
        return false;
    }
    if (read == 0) {
        error = path.string() + ": no frames could be read";
        return false;
    }
    out.frames.resize(static_cast<std::size_t>(read) * std::size_t(info.channels));
    out.frameCount = static_cast<std::uint32_t>(read);
    out.channelCount = static_cast<std::uint32_t>(info.channels);
    out.sampleRate = static_cast<double>(info.samplerate);
    return true;
}

} // namespace clavio::platform
