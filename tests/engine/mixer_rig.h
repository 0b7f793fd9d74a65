// A mixer wired to an offline output, for tests that pull frames on the test
// thread.
#pragma once

#include <vector>

#include "engine/audio/offline_audio_output.h"
#include "engine/audio/tca_audio_engine.h"
#include "tests/support/raw_audio_decoder.h"

namespace clavio::testing {

struct MixerRig {
    explicit MixerRig(double outputRate = 48000.0) : output(outputRate) {}
    // Appends decoded audio; the frame count is samples / channels.
    std::int32_t add(std::vector<float> samples, std::uint32_t channels, double rate = 48000.0) {
        const auto frames = std::uint32_t(samples.size() / channels);
        return engine.addDecodedSample(DecodedAudio{std::move(samples), frames, channels, rate});
    }
    // Pulls `frames` frames of interleaved stereo.
    std::vector<float> pull(std::uint32_t frames) {
        std::vector<float> out(std::size_t(frames) * 2, -7.0f);
        output.pull(out.data(), frames);
        return out;
    }
    RawAudioDecoder decoder;
    OfflineAudioOutput output;
    TCAAudioEngine engine{decoder, output};
};

} // namespace clavio::testing
