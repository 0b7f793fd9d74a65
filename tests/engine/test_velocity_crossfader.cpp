#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/pipeline/velocity_crossfader.h"

using namespace clavio;

namespace {

using T = VelocityTier;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

void expectLayers(const std::vector<VelocityLayer>& got, const std::vector<VelocityLayer>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].tier, want[i].tier) << "layer " << i;
        EXPECT_NEAR(got[i].gain, want[i].gain, 1e-5f) << "layer " << i;
    }
}

} // namespace

TEST(VelocityCrossfader, PublishedExamplesAndEdges) {
    const struct {
        float velocity, fadeWidth, medium, hard;
        std::vector<VelocityLayer> want;
    } cases[] = {
        {0.0f, 0.1f, 0.3f, 0.6f, {{T::soft, 0.35f}}},
        {0.15f, 0.1f, 0.3f, 0.6f, {{T::soft, 0.5f}}},
        {0.3f, 0.1f, 0.3f, 0.6f, {{T::soft, 0.325f}, {T::medium, 0.225f}}},
        {0.26f, 0.1f, 0.3f, 0.6f, {{T::soft, 0.9f * 0.61f}, {T::medium, 0.1f * 0.45f}}},
        {0.5f, 0.1f, 0.3f, 0.6f, {{T::medium, 0.63f}}},
        {1.0f, 0.1f, 0.3f, 0.6f, {{T::slam, 1.0f}}},
        {7.5f, 0.1f, 0.3f, 0.6f, {{T::slam, 1.0f}}},
        {-0.2f, 0.1f, 0.3f, 0.6f, {{T::soft, 0.35f}}},
        {kNaN, 0.1f, 0.3f, 0.6f, {{T::soft, 0.35f}}}, // a NaN velocity counts as zero
        // Zero width: both neighbours sound only at the threshold itself.
        {0.6f, 0.0f, 0.3f, 0.6f, {{T::medium, 0.72f}, {T::hard, 0.65f}}},
        {0.59f, 0.0f, 0.3f, 0.6f, {{T::medium, 0.45f + (0.29f / 0.3f) * 0.27f}}},
        // A NaN width means no crossfade, not four layers at full weight.
        {0.5f, kNaN, 0.3f, 0.6f, {{T::medium, 0.63f}}},
        // Medium equal to hard: the medium range is empty and sits at position 0.5.
        {0.5f, 0.0f, 0.5f, 0.5f, {{T::soft, 0.65f}, {T::medium, 0.585f}, {T::hard, 0.65f}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.velocity << " width " << c.fadeWidth);
        expectLayers(VelocityCrossfader::layers(c.velocity, c.medium, c.hard, 0.85f, c.fadeWidth),
                     c.want);
    }
    EXPECT_EQ(VelocityCrossfader::layers(0.61f, 0.3f, 0.6f, 0.85f, 0.0f).size(), 1u);
    // Nothing qualifies (a velocity inside no range): the soft fallback.
    expectLayers(VelocityCrossfader::layers(0.5f, 0.4f, 0.4f, 0.6f, -0.5f), {{T::soft, 0.25f}});
}

TEST(VelocityCrossfader, DegenerateInputsNeverGiveAnEmptyListOrABadGain) {
    const float values[] = {kNaN, -kInf, -1.0f, 0.0f, 0.3f, 0.55f, 1.0f, 2.0f, kInf};
    for (float v : values) {
        for (float m : values) {
            for (float h : values) {
                for (float w : {kNaN, -0.2f, 0.0f, 0.1f, 3.0f, kInf}) {
                    const auto layers = VelocityCrossfader::layers(v, m, h, 0.85f, w);
                    ASSERT_FALSE(layers.empty());
                    ASSERT_LE(layers.size(), 4u);
                    for (std::size_t i = 0; i < layers.size(); ++i) {
                        ASSERT_TRUE(std::isfinite(layers[i].gain) && layers[i].gain > 0.0f);
                        ASSERT_TRUE(i == 0 ||
                                    rawValue(layers[i - 1].tier) < rawValue(layers[i].tier));
                    }
                }
            }
        }
    }
}
