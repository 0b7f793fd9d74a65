// Measurements of rendered or decoded audio over mono float samples: peak
// level, onset, the end of the audible part and the spectral centroid.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace clavio::testing {

// Averages the channels of interleaved frames.
std::vector<float> toMono(std::span<const float> interleaved, std::size_t channels);

float peak(std::span<const float> samples);      // largest absolute sample
double peakDbfs(std::span<const float> samples); // -inf for silence
double dbToLinear(double db);                    // -6.02 -> 0.5

// Index of the first (last) sample whose magnitude reaches `threshold`, if any.
std::optional<std::size_t> onsetIndex(std::span<const float> samples, float threshold);
std::optional<std::size_t> lastIndexAbove(std::span<const float> samples, float threshold);

// Rectangular for a whole sound that starts and ends in silence (a key sound,
// attack included); Hann for a cut from a longer signal, whose ends would leak.
enum class Window { rectangular, hann };

// Magnitude-weighted mean frequency in Hz of the whole span (zero-padded to a
// power of two, DC excluded); 0 for silence.
double spectralCentroidHz(std::span<const float> samples, double sampleRate,
                          Window window = Window::rectangular);

} // namespace clavio::testing
