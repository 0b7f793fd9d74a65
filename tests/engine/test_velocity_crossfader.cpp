#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/pipeline/velocity_crossfader.h"

using namespace clavio;

namespace {

std::vector<VelocityLayer> published(float v, float fadeWidth = 0.1f) {
    return VelocityCrossfader::layers(v, 0.3f, 0.6f, 0.85f, fadeWidth);
}

void expectLayers(const std::vector<VelocityLayer>& got, const std::vector<VelocityLayer>& want,
                  const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].tier, want[i].tier) << what << " layer " << i;
        EXPECT_NEAR(got[i].gain, want[i].gain, 1e-5f) << what << " layer " << i;
    }
}

} // namespace

TEST(VelocityCrossfader, PublishedExamples) {
    using T = VelocityTier;
    expectLayers(published(0.0f), {{T::soft, 0.35f}}, "0");
    expectLayers(published(0.15f), {{T::soft, 0.5f}}, "0.15");
    expectLayers(published(0.3f), {{T::soft, 0.325f}, {T::medium, 0.225f}}, "0.3");
    expectLayers(published(0.26f), {{T::soft, 0.9f * 0.61f}, {T::medium, 0.1f * 0.45f}}, "0.26");
    expectLayers(published(0.5f), {{T::medium, 0.63f}}, "0.5");
    expectLayers(published(1.0f), {{T::slam, 1.0f}}, "1");
    expectLayers(published(7.5f), {{T::slam, 1.0f}}, "above 1");
    expectLayers(published(-0.2f), {{T::soft, 0.35f}}, "below 0");
}

TEST(VelocityCrossfader, ZeroFadeWidthSoundsBothNeighboursOnlyAtTheThreshold) {
    using T = VelocityTier;
    expectLayers(published(0.6f, 0.0f), {{T::medium, 0.72f}, {T::hard, 0.65f}}, "at 0.6");
    expectLayers(published(0.59f, 0.0f), {{T::medium, 0.45f + (0.29f / 0.3f) * 0.27f}},
                 "just below");
    EXPECT_EQ(published(0.61f, 0.0f).size(), 1u);
    // A NaN width means no crossfade, not four layers at full weight.
    expectLayers(published(0.5f, std::numeric_limits<float>::quiet_NaN()), {{T::medium, 0.63f}},
                 "NaN width");
}

TEST(VelocityCrossfader, NaNVelocityCountsAsZero) {
    const auto layers = published(std::numeric_limits<float>::quiet_NaN());
    expectLayers(layers, {{VelocityTier::soft, 0.35f}}, "NaN");
}

TEST(VelocityCrossfader, DegenerateInputsNeverGiveAnEmptyListOrABadGain) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float values[] = {nan, -inf, -1.0f, 0.0f, 0.3f, 0.55f, 1.0f, 2.0f, inf};
    for (float v : values) {
        for (float m : values) {
            for (float h : values) {
                for (float w : {nan, -0.2f, 0.0f, 0.1f, 3.0f, inf}) {
                    const auto layers = VelocityCrossfader::layers(v, m, h, 0.85f, w);
                    ASSERT_FALSE(layers.empty());
                    ASSERT_LE(layers.size(), 4u);
                    for (std::size_t i = 0; i < layers.size(); ++i) {
                        EXPECT_TRUE(std::isfinite(layers[i].gain));
                        EXPECT_GT(layers[i].gain, 0.0f);
                        if (i > 0) {
                            EXPECT_LT(rawValue(layers[i - 1].tier), rawValue(layers[i].tier));
                        }
                    }
                }
            }
        }
    }
    // Medium equal to hard: the medium range is empty and sits at position 0.5.
    using T = VelocityTier;
    expectLayers(VelocityCrossfader::layers(0.5f, 0.5f, 0.5f, 0.85f, 0.0f),
                 {{T::soft, 0.65f}, {T::medium, 0.45f + 0.5f * 0.27f}, {T::hard, 0.65f}},
                 "empty medium range");
    // Nothing qualifies (a velocity inside no range): the soft fallback.
    expectLayers(VelocityCrossfader::layers(0.5f, 0.4f, 0.4f, 0.6f, -0.5f),
                 {{VelocityTier::soft, 0.25f}}, "fallback");
}
