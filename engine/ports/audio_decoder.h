// Audio file decoding: a whole file into float interleaved frames at the
// file's own rate and channel count.
//
// Threading: decode() may be called from any non-real-time thread; an
// implementation keeps no shared state between calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace clavio {

struct DecodedAudio {
    std::vector<float> frames; // interleaved, frameCount x channelCount
    std::uint32_t frameCount = 0;
    std::uint32_t channelCount = 0;
    double sampleRate = 0.0;
    // Set on a failure caused by the DecodeLimits (the error names the limit).
    bool overLimit = false;
};

// The largest file the decoder accepts, in frames x channels (4 GiB of
// floats would be absurd for a key sound; this is ten minutes of 8-channel
// 96 kHz audio).
inline constexpr std::uint64_t kMaxDecodedSamples = 600ull * 96000ull * 8ull;

// Key sounds are short: the longest sample file a pack may hold, and the
// most decoded audio (32-bit floats) all of a pack's files may take.
inline constexpr double kMaxSampleSeconds = 20.0;
inline constexpr std::uint64_t kMaxPackDecodedBytes = 256ull << 20;

// Limits of one decode, checked against the header's claim before anything
// is allocated and again while reading (a header can claim less than the
// file holds when its length is unknown).
struct DecodeLimits {
    double maxSeconds = kMaxSampleSeconds;
    // Frames x channels still allowed: what is left of the pack's budget.
    std::uint64_t maxSamples = kMaxPackDecodedBytes / sizeof(float);
};

// "longer than 20 s (the limit of a sound pack's sample file)" or the pack's
// limit, for the frames a file holds or claims.
std::string decodeLimitError(const DecodeLimits& limits, std::uint64_t frames, double sampleRate);

class AudioDecoder {
public:
    virtual ~AudioDecoder() = default;
    // Decodes the file. On failure returns false and sets `error` to one line
    // naming the file and what was wrong; `out` is then unspecified. A file
    // holding a NaN or infinite sample is a failure; so is one beyond
    // `limits` (then `out.overLimit` is set).
    virtual bool decode(const std::filesystem::path& path, DecodedAudio& out, std::string& error,
                        const DecodeLimits& limits) const = 0;
    bool decode(const std::filesystem::path& path, DecodedAudio& out, std::string& error) const {
        return decode(path, out, error, DecodeLimits{});
    }
};

} // namespace clavio
