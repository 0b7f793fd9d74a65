#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "tests/support/audio_analysis.h"

using namespace clavio::testing;

namespace {
std::vector<float> sine(double hz, double amplitude, std::size_t n, double rate = 48000) {
    std::vector<float> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * double(i) / rate));
    }
    return s;
}
} // namespace

TEST(AudioAnalysis, LevelsOfASine) {
    const auto s = sine(1000, 0.5, 48000);
    EXPECT_NEAR(peakDbfs(s), -6.0206, 0.01);
    EXPECT_NEAR(rms(s), 0.5 / std::sqrt(2.0), 1e-3);
    EXPECT_NEAR(rmsDbfs(s), -9.031, 0.01);
    EXPECT_NEAR(dbToLinear(-6.0206), 0.5, 1e-4);
    EXPECT_TRUE(std::isinf(peakDbfs(std::vector<float>(10, 0.0f))));
    EXPECT_EQ(rms({}), 0.0);
}

TEST(AudioAnalysis, CentroidFollowsTheFrequencyContent) {
    // A whole tone burst that fades in and out, like a sound file.
    auto burst = sine(1000, 0.5, 4800);
    for (std::size_t i = 0; i < burst.size(); ++i) {
        burst[i] *= float(std::sin(std::numbers::pi * double(i) / double(burst.size())));
    }
    EXPECT_NEAR(spectralCentroidHz(burst, 48000), 1000, 40);
    EXPECT_NEAR(spectralCentroidHz(sine(5000, 0.1, 3001), 48000, Window::hann), 5000, 60);
    // Cut mid-cycle, a tone leaks; the window keeps the estimate close.
    EXPECT_NEAR(spectralCentroidHz(sine(300, 0.5, 1000), 48000, Window::hann), 300, 60);
    // An attack followed by a long low tone: the rectangular window keeps the
    // attack's brightness, the Hann window all but hides it.
    auto struck = sine(200, 0.3, 9600);
    for (std::size_t i = 0; i < 48; ++i) {
        struck[i] += (i % 2 ? 0.9f : -0.9f); // a burst at the Nyquist rate
    }
    EXPECT_GT(spectralCentroidHz(struck, 48000),
              spectralCentroidHz(struck, 48000, Window::hann) + 500);
    // Two equal tones: the centroid lies between them.
    auto mix = sine(500, 0.3, 9600);
    const auto high = sine(4500, 0.3, 9600);
    for (std::size_t i = 0; i < mix.size(); ++i) {
        mix[i] += high[i];
    }
    EXPECT_NEAR(spectralCentroidHz(mix, 48000, Window::hann), 2500, 150);
    // White noise centres near a quarter of the rate.
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> noise(16384);
    for (auto& x : noise) {
        x = u(rng);
    }
    EXPECT_NEAR(spectralCentroidHz(noise, 48000), 12000, 600);
    EXPECT_NEAR(spectralCentroidHz(noise, 48000, Window::hann), 12000, 600);
    EXPECT_EQ(spectralCentroidHz(std::vector<float>(64, 0.0f), 48000), 0.0);
}

TEST(AudioAnalysis, OnsetAndTailPositions) {
    std::vector<float> s(1000, 0.0f);
    s[120] = -0.2f;
    s[500] = 0.05f;
    s[700] = 0.001f;
    EXPECT_EQ(onsetIndex(s, 0.1f), 120u);
    EXPECT_EQ(lastIndexAbove(s, 0.01f), 500u);
    EXPECT_EQ(lastIndexAbove(s, 0.0005f), 700u);
    EXPECT_FALSE(onsetIndex(s, 0.5f));
    const std::vector<float> stereo = {1, 0, 0.5f, 0.5f, -1, 1};
    EXPECT_EQ(toMono(stereo, 2), (std::vector<float>{0.5f, 0.5f, 0.0f}));
}
