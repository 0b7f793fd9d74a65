#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "audio_analysis.h"

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
    EXPECT_NEAR(spectralCentroidHz(sine(1000, 0.5, 4800), 48000), 1000, 30);
    EXPECT_NEAR(spectralCentroidHz(sine(5000, 0.1, 3000), 48000), 5000, 100);
    // Two equal tones: the centroid lies between them.
    auto mix = sine(500, 0.3, 9600);
    const auto high = sine(4500, 0.3, 9600);
    for (std::size_t i = 0; i < mix.size(); ++i) {
        mix[i] += high[i];
    }
    EXPECT_NEAR(spectralCentroidHz(mix, 48000), 2500, 150);
    // White noise centres near a quarter of the rate.
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1, 1);
    std::vector<float> noise(16384);
    for (auto& x : noise) {
        x = u(rng);
    }
    EXPECT_NEAR(spectralCentroidHz(noise, 48000), 12000, 600);
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
