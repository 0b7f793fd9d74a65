#include "platform/linux/audio/sndfile_decoder.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <new>

namespace clavio::platform {

namespace {
// Reserved from the header's claim before any frame is read (16 MiB).
constexpr std::uint64_t kTrustedReserveSamples = std::uint64_t(1) << 22;
// Samples per read call.
constexpr std::uint64_t kReadSliceSamples = std::uint64_t(1) << 16;

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
    // The header's frame count is a claim: SF_COUNT_MAX when the stream does
    // not say (a FLAC header with 0 total samples), and a damaged header of a
    // few hundred bytes may claim hundreds of millions of frames. So memory
    // follows the frames actually read: the claim is trusted for the first
    // reservation only up to kTrustedReserveSamples, the buffer grows with
    // the data after that, and the size limit applies to what was read. A
    // claim beyond the limit is still refused up front, unread.
    const bool lengthKnown = info.frames != SF_COUNT_MAX;
    const auto channels = static_cast<std::uint64_t>(info.channels);
    std::uint64_t maxFrames = std::min<std::uint64_t>(kMaxDecodedSamples / channels, UINT32_MAX);
    if (_maxSeconds > 0.0) {
        maxFrames = std::min<std::uint64_t>(
            maxFrames, static_cast<std::uint64_t>(_maxSeconds * info.samplerate));
    }
    if (lengthKnown && static_cast<std::uint64_t>(info.frames) > maxFrames) {
        error = path.string() + ": too long (" + std::to_string(info.frames) + " frames)";
        return false;
    }
    // Reading stops at the claimed length (libsndfile returns no more than
    // that anyway) or, when the length is unknown, one frame past the limit.
    const std::uint64_t stopAt =
        lengthKnown ? static_cast<std::uint64_t>(info.frames) : maxFrames + 1;
    const std::uint64_t sliceFrames = std::max<std::uint64_t>(1, kReadSliceSamples / channels);
    std::uint64_t read = 0;
    try {
        out.frames.clear();
        out.frames.reserve(std::min((lengthKnown ? stopAt : 0) * channels, kTrustedReserveSamples));
        // Read in slices so a truncated file yields what it holds instead of
        // the length the header promised.
        while (read < stopAt) {
            const std::uint64_t want = std::min(sliceFrames, stopAt - read);
            out.frames.resize((read + want) * channels);
            const sf_count_t got = sf_readf_float(file.file, out.frames.data() + read * channels,
                                                  static_cast<sf_count_t>(want));
            if (got <= 0) {
                break;
            }
            read += static_cast<std::uint64_t>(got);
        }
        if (read > maxFrames) {
            error =
                path.string() + ": too long (more than " + std::to_string(maxFrames) + " frames)";
            out.frames = {};
            return false;
        }
        out.frames.resize(read * channels);
        // A truncated file, or one of unknown length, can leave much of the
        // buffer unused.
        if (out.frames.capacity() - out.frames.size() > out.frames.size() / 4) {
            out.frames.shrink_to_fit();
        }
    } catch (const std::bad_alloc&) {
        error = path.string() + ": out of memory";
        out.frames = {};
        return false;
    }
    if (sf_error(file.file) != SF_ERR_NO_ERROR && read == 0) {
        error = path.string() + ": " + sf_strerror(file.file);
        return false;
    }
    if (read == 0) {
        error = path.string() + ": no frames could be read";
        return false;
    }
    // Float and double files carry their values as stored, so a damaged one
    // can hold NaN or infinity; mixed into the output, one such value turns
    // every voice of the cycle into noise.
    const auto bad = std::find_if(out.frames.begin(), out.frames.end(),
                                  [](float v) { return !std::isfinite(v); });
    if (bad != out.frames.end()) {
        const auto at = std::size_t(bad - out.frames.begin()) / channels;
        error =
            path.string() + ": sample at frame " + std::to_string(at) + " is not a finite number";
        out.frames = {};
        return false;
    }
    out.frameCount = static_cast<std::uint32_t>(read);
    out.channelCount = static_cast<std::uint32_t>(info.channels);
    out.sampleRate = static_cast<double>(info.samplerate);
    return true;
}

} // namespace clavio::platform
