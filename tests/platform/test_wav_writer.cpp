#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/audio/wav_writer.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::platform::WavWriter;
using clavio::testing::readFile;
using clavio::testing::TempDir;
using clavio::testing::writeFile;

namespace {

std::size_t entries(const std::filesystem::path& folder) {
    return std::size_t(std::distance(std::filesystem::directory_iterator(folder),
                                     std::filesystem::directory_iterator()));
}

std::vector<float> block(std::size_t frames, float offset) {
    std::vector<float> data(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        data[2 * i] = offset + float(i) / 1024.0f;
        data[2 * i + 1] = -offset - float(i) / 2048.0f;
    }
    return data;
}

} // namespace

TEST(WavWriter, FinishedFileHoldsEveryBlockAsStereoFloatAt48k) {
    TempDir dir;
    const auto path = dir / "render.wav";
    WavWriter wav;
    ASSERT_FALSE(wav.open(path));
    for (int b = 0; b < 3; ++b) {
        const auto data = block(64, 0.25f * float(b));
        ASSERT_FALSE(wav.write(data.data(), 64));
    }
    EXPECT_FALSE(std::filesystem::exists(path)); // nothing visible before finish()
    ASSERT_FALSE(wav.finish());
    EXPECT_EQ(wav.framesWritten(), 192u);
    EXPECT_EQ(entries(dir.path()), 1u);

    DecodedAudio audio;
    std::string error;
    ASSERT_TRUE(platform::SndfileDecoder().decode(path, audio, error)) << error;
    EXPECT_EQ(audio.sampleRate, 48000.0);
    EXPECT_EQ(audio.channelCount, 2u);
    ASSERT_EQ(audio.frameCount, 192u);
    EXPECT_EQ(audio.frames[2 * 64], 0.25f); // first frame of the second block, exact in float
    EXPECT_EQ(audio.frames[2 * 191 + 1], -0.5f - 63.0f / 2048.0f);
}

TEST(WavWriter, UnfinishedRenderLeavesNoFileAndKeepsAnEarlierOne) {
    TempDir dir;
    const auto path = dir / "render.wav";
    {
        WavWriter wav;
        ASSERT_FALSE(wav.open(path));
        const auto data = block(256, 0.0f);
        ASSERT_FALSE(wav.write(data.data(), 256));
    }
    EXPECT_EQ(entries(dir.path()), 0u);

    writeFile(path, "an earlier render");
    {
        WavWriter wav;
        ASSERT_FALSE(wav.open(path));
        const auto data = block(16, 0.0f);
        ASSERT_FALSE(wav.write(data.data(), 16));
        wav.discard();
        EXPECT_TRUE(wav.finish()); // nothing left to finish
    }
    EXPECT_EQ(readFile(path), "an earlier render");
    EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(WavWriter, UnwritablePathsAreRefusedBeforeAnyWork) {
    TempDir dir;
    writeFile(dir / "plain-file", "x");
    std::filesystem::create_directory(dir / "folder");

    // A regular file where the folder should be fails even for root.
    auto error = WavWriter::checkWritable(dir / "plain-file" / "out.wav");
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("out.wav"), std::string::npos);
    EXPECT_TRUE(WavWriter::checkWritable(dir / "missing" / "out.wav"));
    EXPECT_TRUE(WavWriter::checkWritable(dir / "folder"));
    EXPECT_TRUE(WavWriter::checkWritable("/dev/null"));
    EXPECT_TRUE(WavWriter::checkWritable(""));

    WavWriter wav;
    EXPECT_TRUE(wav.open(dir / "missing" / "out.wav"));
    EXPECT_FALSE(wav.isOpen());
    const float frame[2] = {0, 0};
    EXPECT_TRUE(wav.write(frame, 1));
    EXPECT_TRUE(wav.open(dir / "ok.wav", 0, 2));

    // A good path passes and the check leaves nothing behind.
    EXPECT_FALSE(WavWriter::checkWritable(dir / "ok.wav"));
    EXPECT_EQ(entries(dir.path()), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir / "ok.wav"));
}

TEST(WavWriter, WritingThroughASymlinkReplacesItsTarget) {
    TempDir dir;
    writeFile(dir / "real.wav", "old");
    std::filesystem::create_symlink(dir / "real.wav", dir / "link.wav");
    WavWriter wav;
    ASSERT_FALSE(wav.open(dir / "link.wav", 44100, 1));
    const float samples[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    ASSERT_FALSE(wav.write(samples, 4));
    ASSERT_FALSE(wav.finish());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.wav"));
    DecodedAudio audio;
    std::string error;
    ASSERT_TRUE(platform::SndfileDecoder().decode(dir / "real.wav", audio, error)) << error;
    EXPECT_EQ(audio.sampleRate, 44100.0);
    EXPECT_EQ(audio.frameCount, 4u);
}

// A float WAV would normally carry a PEAK chunk stamped with the time of
// writing; renders of the same session must give the same bytes whenever
// they run.
TEST(WavWriter, SameFramesGiveTheSameBytesWithoutATimeStamp) {
    TempDir dir;
    const auto data = block(256, 0.5f);
    for (const char* name : {"a.wav", "b.wav"}) {
        WavWriter wav;
        ASSERT_FALSE(wav.open(dir / name));
        ASSERT_FALSE(wav.write(data.data(), 256));
        ASSERT_FALSE(wav.finish());
    }
    const std::string a = readFile(dir / "a.wav");
    EXPECT_EQ(a.find("PEAK"), std::string::npos);
    EXPECT_EQ(a, readFile(dir / "b.wav"));
}
