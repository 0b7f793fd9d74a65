// Writes mono 16-bit PCM WAV files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace clavio::synth {

// Returns an error line, or an empty string on success. Samples are clipped
// to [-1, 1] and rounded (the synthesiser's peaks stay below full scale).
std::string writeWav16(const std::filesystem::path& path, const std::vector<float>& samples,
                       unsigned sampleRate);

} // namespace clavio::synth
