#include "tests/support/audio_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <numeric>

namespace clavio::testing {

std::vector<float> toMono(std::span<const float> interleaved, std::size_t channels) {
    std::vector<float> mono(interleaved.size() / channels);
    for (std::size_t f = 0; f < mono.size(); ++f) {
        const auto frame = interleaved.subspan(f * channels, channels);
        mono[f] = float(std::accumulate(frame.begin(), frame.end(), 0.0) / double(channels));
    }
    return mono;
}

float peak(std::span<const float> samples) {
    return std::accumulate(samples.begin(), samples.end(), 0.0f,
                           [](float p, float s) { return std::max(p, std::fabs(s)); });
}

double peakDbfs(std::span<const float> samples) {
    const double p = peak(samples);
    return p > 0 ? 20.0 * std::log10(p) : -std::numeric_limits<double>::infinity();
}

double dbToLinear(double db) {
    return std::pow(10.0, db / 20.0);
}

std::optional<std::size_t> onsetIndex(std::span<const float> samples, float threshold) {
    const auto it = std::find_if(samples.begin(), samples.end(),
                                 [&](float s) { return std::fabs(s) >= threshold; });
    return it == samples.end() ? std::nullopt : std::optional(std::size_t(it - samples.begin()));
}

std::optional<std::size_t> lastIndexAbove(std::span<const float> samples, float threshold) {
    const auto it = std::find_if(samples.rbegin(), samples.rend(),
                                 [&](float s) { return std::fabs(s) >= threshold; });
    return it == samples.rend() ? std::nullopt
                                : std::optional(std::size_t(samples.rend() - it - 1));
}

namespace {
// Iterative radix-2 FFT in place; size is a power of two.
void fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2.0 * std::numbers::pi / double(len);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0, 0.0);
            for (std::size_t k = 0; k < len / 2; ++k) {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}
} // namespace

double spectralCentroidHz(std::span<const float> samples, double sampleRate, Window window) {
    if (samples.empty()) {
        return 0;
    }
    std::size_t n = 1;
    while (n < samples.size()) {
        n <<= 1;
    }
    std::vector<std::complex<double>> bins(n);
    const std::size_t m = samples.size();
    for (std::size_t i = 0; i < m; ++i) {
        const double weight =
            window == Window::hann && m > 1
                ? 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / double(m - 1))
                : 1.0;
        bins[i] = samples[i] * weight;
    }
    fft(bins);
    double weighted = 0;
    double total = 0;
    for (std::size_t k = 1; k <= n / 2; ++k) {
        const double magnitude = std::abs(bins[k]);
        weighted += magnitude * double(k) * sampleRate / double(n);
        total += magnitude;
    }
    return total > 0 ? weighted / total : 0;
}

} // namespace clavio::testing
