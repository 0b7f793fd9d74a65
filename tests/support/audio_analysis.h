// Measurements of rendered or decoded audio for tests: peak level,
// onset position, the end of the audible part and the spectral centroid.
// Plain functions over mono float samples; use toMono() for interleaved
// frames.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace clavio::testing {

// Averages the channels of interleaved frames.
std::vector<float> toMono(std::span<const float> interleaved, std::size_t channels);

// Largest absolute sample.
float peak(std::span<const float> samples);
// 20 log10 of the peak; -inf for silence.
double peakDbfs(std::span<const float> samples);

// Linear amplitude of a dBFS figure (-6.02 -> 0.5).
double dbToLinear(double db);

// Index of the first sample whose magnitude reaches `threshold` (linear), or
// nothing when none does.
std::optional<std::size_t> onsetIndex(std::span<const float> samples, float threshold);
// Index of the last sample whose magnitude reaches `threshold`, or nothing.
std::optional<std::size_t> lastIndexAbove(std::span<const float> samples, float threshold);

enum class Window {
    // For a whole sound that starts and ends in silence (a key sound): every
    // part, the attack included, counts fully.
    rectangular,
    // For a cut from a longer signal, whose ends would otherwise leak.
    hann,
};

// Magnitude-weighted mean frequency in Hz of the whole span (zero-padded to a
// power of two, DC excluded); 0 for silence.
double spectralCentroidHz(std::span<const float> samples, double sampleRate,
                          Window window = Window::rectangular);

} // namespace clavio::testing
