#include "engine/ports/audio_decoder.h"

#include <cstdio>

namespace clavio {

std::string decodeLimitError(const DecodeLimits& limits, std::uint64_t frames, double sampleRate) {
    char line[200];
    const double seconds = sampleRate > 0.0 ? double(frames) / sampleRate : 0.0;
    if (seconds > limits.maxSeconds) {
        std::snprintf(line, sizeof line,
                      "%.1f s long; a sample file may last at most %.0f s (the limit of a sound "
                      "pack's file)",
                      seconds, limits.maxSeconds);
    } else {
        std::snprintf(line, sizeof line,
                      "would take the pack's decoded audio past its limit of %llu MB (%llu MB "
                      "were left for this file)",
                      (unsigned long long)(kMaxPackDecodedBytes >> 20),
                      (unsigned long long)(limits.maxSamples * sizeof(float) >> 20));
    }
    return line;
}

} // namespace clavio
