// A small audio file format for engine tests, which cannot link libsndfile:
// the magic "CLVRAW1\n", then little-endian u32 sample rate, u32 channel
// count, u64 frame count, then frames x channels float32 values. The decoder
// really parses it (so missing, short, foreign and lying files fail the way
// real ones do) and counts how often it decoded.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "engine/ports/audio_decoder.h"

namespace clavio::testing {

class RawAudioDecoder final : public AudioDecoder {
public:
    bool decode(const std::filesystem::path& path, DecodedAudio& out,
                std::string& error) const override;
    // Number of decode calls, successful or not.
    int decodeCalls() const { return _calls.load(); }

private:
    mutable std::atomic<int> _calls{0};
};

// Writes a raw file whose header says `frameCount` frames (by default as many
// as `samples` holds).
void writeRawAudio(const std::filesystem::path& path, std::uint32_t sampleRate,
                   std::uint32_t channels, const std::vector<float>& samples,
                   std::uint64_t frameCount = UINT64_MAX);

} // namespace clavio::testing
