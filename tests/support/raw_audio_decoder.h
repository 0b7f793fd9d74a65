// A small audio format for engine tests, which cannot link libsndfile: the magic
// "CLVRAW1\n", little-endian u32 rate, u32 channels, u64 frames, then float32
// samples. The decoder really parses it, and counts how often it decoded.
#pragma once

#include <atomic>
#include <filesystem>
#include <vector>

#include "engine/ports/audio_decoder.h"

namespace clavio::testing {

class RawAudioDecoder final : public AudioDecoder {
public:
    using AudioDecoder::decode;
    bool decode(const std::filesystem::path& path, DecodedAudio& out, std::string& error,
                const DecodeLimits& limits) const override;
    int decodeCalls() const { return _calls.load(); } // successful or not

private:
    mutable std::atomic<int> _calls{0};
};

// Writes a file whose header says `frameCount` frames (default: all of `samples`).
void writeRawAudio(const std::filesystem::path& path, std::uint32_t sampleRate,
                   std::uint32_t channels, const std::vector<float>& samples,
                   std::uint64_t frameCount = UINT64_MAX);

} // namespace clavio::testing
