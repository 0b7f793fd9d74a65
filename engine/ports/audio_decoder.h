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
};

// The largest file the decoder accepts, in frames x channels (4 GiB of
// floats would be absurd for a key sound; this is ten minutes of 8-channel
// 96 kHz audio).
inline constexpr std::uint64_t kMaxDecodedSamples = 600ull * 96000ull * 8ull;

class AudioDecoder {
public:
    virtual ~AudioDecoder() = default;
    // Decodes the file. On failure returns false and sets `error` to one line
    // naming the file and what was wrong; `out` is then unspecified. A file
    // holding a NaN or infinite sample is a failure.
    virtual bool decode(const std::filesystem::path& path, DecodedAudio& out,
                        std::string& error) const = 0;
};

} // namespace clavio
