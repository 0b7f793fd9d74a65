// A mixer wired to an offline output, for tests that pull frames on the test
// thread.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/audio/offline_audio_output.h"
#include "engine/audio/tca_audio_engine.h"
#include "tests/support/raw_audio_decoder.h"

namespace clavio::testing {

struct MixerRig {
    explicit MixerRig(double outputRate = 48000.0) : output(outputRate) {}

    // Appends decoded audio; the frame count is samples / channels.
    std::int32_t add(std::vector<float> samples, std::uint32_t channels, double rate = 48000.0) {
        DecodedAudio audio;
        audio.frameCount = std::uint32_t(samples.size() / channels);
        audio.channelCount = channels;
        audio.sampleRate = rate;
        audio.frames = std::move(samples);
        return engine.addDecodedSample(std::move(audio));
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

// 1, 2, 3, ... so that every source frame is told apart by its value.
inline std::vector<float> ramp(std::size_t frames) {
    std::vector<float> v(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        v[i] = float(i + 1);
    }
    return v;
}

} // namespace clavio::testing
