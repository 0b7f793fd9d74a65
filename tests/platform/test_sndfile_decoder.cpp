#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>

#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::TempDir;

namespace {
void writeWav(const std::filesystem::path& path, int channels, int rate, int frames, int format) {
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> data(size_t(frames) * channels);
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            data[size_t(i) * channels + c] = 0.5f * std::sin(0.01f * i) * (c == 0 ? 1.0f : -1.0f);
        }
    }
    sf_writef_float(f, data.data(), frames);
    sf_close(f);
}
} // namespace

TEST(SndfileDecoder, DecodesRateChannelsAndFramesOfFloatAndPcmFiles) {
    TempDir dir;
    platform::SndfileDecoder decoder;
    std::string error;
    DecodedAudio audio;

    writeWav(dir / "stereo.wav", 2, 44100, 1000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ASSERT_TRUE(decoder.decode(dir / "stereo.wav", audio, error)) << error;
    EXPECT_EQ(audio.channelCount, 2u);
    EXPECT_EQ(audio.frameCount, 1000u);
    EXPECT_EQ(audio.sampleRate, 44100.0);
    EXPECT_FLOAT_EQ(audio.frames[2 * 100], 0.5f * std::sin(1.0f));
    EXPECT_FLOAT_EQ(audio.frames[2 * 100 + 1], -0.5f * std::sin(1.0f));

    writeWav(dir / "mono.flac", 1, 48000, 480, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    ASSERT_TRUE(decoder.decode(dir / "mono.flac", audio, error)) << error;
    EXPECT_EQ(audio.channelCount, 1u);
    EXPECT_EQ(audio.frameCount, 480u);
    EXPECT_NEAR(audio.frames[100], 0.5f * std::sin(1.0f), 1e-4);
}

TEST(SndfileDecoder, RefusesMissingEmptyGarbageAndZeroFrameFiles) {
    TempDir dir;
    platform::SndfileDecoder decoder;
    std::string error;
    DecodedAudio audio;
    EXPECT_FALSE(decoder.decode(dir / "missing.wav", audio, error));
    EXPECT_NE(error.find("missing.wav"), std::string::npos);

    clavio::testing::writeFile(dir / "empty.wav", "");
    EXPECT_FALSE(decoder.decode(dir / "empty.wav", audio, error));

    clavio::testing::writeFile(dir / "text.wav", "this is not audio at all, just some text\n");
    EXPECT_FALSE(decoder.decode(dir / "text.wav", audio, error));

    writeWav(dir / "silent.wav", 1, 48000, 0, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_FALSE(decoder.decode(dir / "silent.wav", audio, error));
}

TEST(SndfileDecoder, FloatFilesHoldingNaNOrInfinityAreRefusedWithOneLine) {
    TempDir dir;
    platform::SndfileDecoder decoder;
    auto write = [&](const std::string& name, int format, std::vector<double> data) {
        SF_INFO info{};
        info.channels = 2;
        info.samplerate = 48000;
        info.format = format;
        SNDFILE* f = sf_open((dir / name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_writef_double(f, data.data(), sf_count_t(data.size() / 2));
        sf_close(f);
    };
    std::vector<double> frames(40, 0.25);
    frames[2 * 7 + 1] = std::nan("");
    write("nan.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, frames);
    frames[2 * 7 + 1] = 0.25;
    frames[2 * 19] = 1e300; // fits a double, not a float
    write("huge.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, frames);
    frames[2 * 19] = 3.0; // loud, but a number
    write("loud.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, frames);

    DecodedAudio audio;
    std::string error;
    EXPECT_FALSE(decoder.decode(dir / "nan.wav", audio, error));
    EXPECT_EQ(error, (dir / "nan.wav").string() + ": sample at frame 7 is not a finite number");
    EXPECT_FALSE(decoder.decode(dir / "huge.wav", audio, error));
    EXPECT_EQ(error, (dir / "huge.wav").string() + ": sample at frame 19 is not a finite number");
    ASSERT_TRUE(decoder.decode(dir / "loud.wav", audio, error)) << error;
    EXPECT_EQ(audio.frames[2 * 19], 3.0f);
}

TEST(SndfileDecoder, TruncatedFileYieldsTheFramesItHolds) {
    TempDir dir;
    writeWav(dir / "full.wav", 1, 48000, 4800, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::string bytes = clavio::testing::readFile(dir / "full.wav");
    clavio::testing::writeFile(dir / "cut.wav", bytes.substr(0, 44 + 2 * 1000));
    platform::SndfileDecoder decoder;
    std::string error;
    DecodedAudio audio;
    ASSERT_TRUE(decoder.decode(dir / "cut.wav", audio, error)) << error;
    EXPECT_EQ(audio.frameCount, 1000u);
    EXPECT_EQ(audio.frames.size(), 1000u);
}
