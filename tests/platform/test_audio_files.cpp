// The libsndfile decoder against good, broken and lying files (the lying headers
// come from fuzz/fuzz_sndfile_decoder.cpp's finds), and the WAV writer renders use.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>

#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/audio/wav_writer.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
using platform::WavWriter;
namespace fs = std::filesystem;

namespace {

// `frames` frames of a ramp from -0.5 (the right channel inverted), with
// `poke.second` written at sample `poke.first`.
std::string writeSound(const fs::path& path, int channels, int rate, int frames, int format,
                       std::pair<std::size_t, double> poke = {SIZE_MAX, 0.0}) {
    SF_INFO info{0, rate, channels, format, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<double> data(std::size_t(frames * channels));
    for (std::size_t i = 0; i < data.size(); ++i) {
        const double ramp = double(i / channels) / frames - 0.5;
        data[i] = i == poke.first ? poke.second : i % channels ? -ramp : ramp;
    }
    sf_writef_double(f, data.data(), frames);
    sf_close(f);
    return readFile(path);
}

std::optional<DecodedAudio> decode(const fs::path& path, std::string* error = nullptr) {
    DecodedAudio audio;
    std::string text;
    const bool ok = platform::SndfileDecoder().decode(path, audio, text);
    if (error) {
        *error = text;
    }
    return ok ? std::optional(audio) : std::nullopt;
}

// Rewrites the 36-bit total-samples field of a FLAC's STREAMINFO block,
// which follows "fLaC", a 4-byte block header and 13 bytes of other fields.
std::string withTotalSamples(std::string flac, std::uint64_t total) {
    auto* b = reinterpret_cast<unsigned char*>(flac.data());
    b[21] = static_cast<unsigned char>((b[21] & 0xF0) | ((total >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i) {
        b[25 - i] = static_cast<unsigned char>(total >> (8 * i));
    }
    return flac;
}

std::size_t entries(const fs::path& folder) {
    return std::size_t(std::distance(fs::directory_iterator(folder), {}));
}

} // namespace

TEST(SndfileDecoder, DecodesFloatAndPcmFilesAndACutFileGivesTheFramesItHolds) {
    TempDir dir;
    writeSound(dir / "stereo.wav", 2, 44100, 1000, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    auto audio = decode(dir / "stereo.wav");
    ASSERT_TRUE(audio);
    EXPECT_EQ(std::tie(audio->channelCount, audio->frameCount, audio->sampleRate),
              std::tuple(2u, 1000u, 44100.0));
    EXPECT_EQ(std::pair(audio->frames[200], audio->frames[201]), std::pair(-0.4f, 0.4f));
    const std::string pcm =
        writeSound(dir / "mono.wav", 1, 48000, 4800, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeFile(dir / "cut.wav", pcm.substr(0, 44 + 2 * 1000));
    audio = decode(dir / "cut.wav");
    ASSERT_TRUE(audio);
    EXPECT_EQ(std::pair(audio->frameCount, audio->frames.size()), std::pair(1000u, 1000ul));
    EXPECT_NEAR(audio->frames[480], -0.4f, 1e-4);

    std::string error;
    EXPECT_FALSE(decode(dir / "missing.wav", &error));
    EXPECT_NE(error.find("missing.wav"), std::string::npos);
    writeFile(dir / "empty.wav", "");
    writeFile(dir / "text.wav", "this is not audio at all, just some text\n");
    writeSound(dir / "silent.wav", 1, 48000, 0, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    for (const char* bad : {"empty.wav", "text.wav", "silent.wav"}) {
        EXPECT_FALSE(decode(dir / bad)) << bad;
    }
}

TEST(SndfileDecoder, FloatFilesHoldingNaNOrInfinityAreRefusedWithOneLine) {
    TempDir dir;
    auto write = [&](const std::string& name, int format, std::size_t at, double value) {
        writeSound(dir / name, 2, 48000, 20, SF_FORMAT_WAV | format, {at, value});
    };
    write("nan.wav", SF_FORMAT_FLOAT, 2 * 7 + 1, std::nan(""));
    write("huge.wav", SF_FORMAT_DOUBLE, 2 * 19, 1e300); // fits a double only
    write("loud.wav", SF_FORMAT_FLOAT, 2 * 19, 3.0);    // loud, but a number
    std::string error;
    EXPECT_FALSE(decode(dir / "nan.wav", &error));
    EXPECT_EQ(error, (dir / "nan.wav").string() + ": sample at frame 7 is not a finite number");
    EXPECT_FALSE(decode(dir / "huge.wav", &error));
    EXPECT_EQ(error, (dir / "huge.wav").string() + ": sample at frame 19 is not a finite number");
    const auto loud = decode(dir / "loud.wav");
    ASSERT_TRUE(loud);
    EXPECT_EQ(loud->frames[2 * 19], 3.0f);
}

TEST(SndfileDecoder, MemoryFollowsTheFramesReadNotTheHeadersClaim) {
    TempDir dir;
    const std::string flac =
        writeSound(dir / "ramp.flac", 1, 48000, 1000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    ASSERT_EQ(withTotalSamples(flac, 1000), flac); // the field is where we think
    // 900,000 frames (within the 20 s of a sample file) claimed by a small
    // file, or 0 (length unknown): the frames there are are decoded, into no
    // more memory than they need.
    for (std::uint64_t claim : {900'000ull, 0ull}) {
        writeFile(dir / "claims.flac", withTotalSamples(flac, claim));
        const auto audio = decode(dir / "claims.flac");
        ASSERT_TRUE(audio) << claim;
        EXPECT_EQ(audio->frameCount, 1000u);
        EXPECT_LT(audio->frames.capacity(), 2000u);
        EXPECT_NEAR(audio->frames[999], 0.499f, 1e-3);
    }
    // A claim past the decoder's limit is refused before reading.
    writeFile(dir / "huge.flac", withTotalSamples(flac, 0xFFFFFFFFFull));
    std::string error;
    EXPECT_FALSE(decode(dir / "huge.flac", &error));
    EXPECT_NE(error.find("huge.flac: 1431655.8 s long; a sample file may last at most 20 s"),
              std::string::npos)
        << error;
    // Limits lowered below the 1000 frames held: a length that is not
    // claimed (0) is caught while reading, a claimed one before.
    const DecodeLimits lowered[] = {{999.0 / 48000, 1u << 20}, {1.0, 999}};
    for (std::uint64_t claim : {1000ull, 0ull}) {
        writeFile(dir / "claims.flac", withTotalSamples(flac, claim));
        for (const auto& limits : lowered) {
            DecodedAudio audio;
            EXPECT_FALSE(
                platform::SndfileDecoder().decode(dir / "claims.flac", audio, error, limits));
            EXPECT_TRUE(audio.overLimit && audio.frames.empty()) << error;
            EXPECT_NE(
                error.find(limits.maxSeconds < 1 ? "at most 0 s" : "past its limit of 256 MB"),
                std::string::npos)
                << error;
        }
    }

    // libsndfile 1.2.0 leaks libvorbis' header record on this path; the
    // sanitizer runs suppress that one leak (tests/lsan.supp).
    const std::string ogg =
        writeSound(dir / "full.ogg", 1, 48000, 4800, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    ASSERT_GT(ogg.size(), 512u);
    writeFile(dir / "cut.ogg", ogg.substr(0, 512));
    EXPECT_FALSE(decode(dir / "cut.ogg", &error));
    EXPECT_EQ(error.rfind((dir / "cut.ogg").string() + ": ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

TEST(WavWriter, FinishedFileHoldsEveryBlockAndTheSameFramesGiveTheSameBytes) {
    TempDir dir;
    std::vector<float> block(2 * 64);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = float(i) / 1024.0f;
    }
    for (const char* name : {"a.wav", "b.wav"}) {
        WavWriter wav;
        ASSERT_FALSE(wav.open(dir / name));
        for (int b = 0; b < 3; ++b) {
            ASSERT_FALSE(wav.write(block.data(), 64));
        }
        EXPECT_FALSE(fs::exists(dir / name)) << "nothing visible before finish()";
        ASSERT_FALSE(wav.finish());
        EXPECT_EQ(wav.framesWritten(), 192u);
    }
    EXPECT_EQ(entries(dir.path()), 2u);
    const auto audio = decode(dir / "a.wav");
    ASSERT_TRUE(audio);
    ASSERT_EQ(std::tie(audio->sampleRate, audio->channelCount, audio->frameCount),
              std::tuple(48000.0, 2u, 192u));
    EXPECT_EQ(audio->frames[2 * 64 + 5], 5.0f / 1024.0f);
    // A float WAV would normally carry a PEAK chunk stamped with the time of
    // writing; renders of the same session must give the same bytes.
    EXPECT_EQ(readFile(dir / "a.wav").find("PEAK"), std::string::npos);
    EXPECT_EQ(readFile(dir / "a.wav"), readFile(dir / "b.wav"));
}

TEST(WavWriter, UnfinishedOrUnwritableRendersLeaveNothingAndKeepAnEarlierFile) {
    TempDir dir;
    const float frames[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    writeFile(dir / "render.wav", "an earlier render");
    {
        WavWriter dropped, discarded;
        ASSERT_FALSE(dropped.open(dir / "new.wav"));
        ASSERT_FALSE(dropped.write(frames, 2));
        ASSERT_FALSE(discarded.open(dir / "render.wav"));
        ASSERT_FALSE(discarded.write(frames, 2));
        discarded.discard();
        EXPECT_TRUE(discarded.finish()); // nothing left to finish
    }
    EXPECT_EQ(readFile(dir / "render.wav"), "an earlier render");
    EXPECT_EQ(entries(dir.path()), 1u);

    // A regular file where the folder should be fails even for root.
    for (const fs::path& bad : {dir / "render.wav" / "out.wav", dir / "missing" / "out.wav",
                                dir.path(), fs::path("/dev/null"), fs::path()}) {
        EXPECT_NE(platform::checkOutput(bad).value_or(""), "") << bad;
    }
    WavWriter wav;
    EXPECT_TRUE(wav.open(dir / "missing" / "out.wav"));
    EXPECT_TRUE(wav.write(frames, 1));
    EXPECT_TRUE(wav.open(dir / "ok.wav", 0, 2));
    EXPECT_FALSE(platform::checkOutput(dir / "ok.wav"));
    EXPECT_EQ(entries(dir.path()), 1u) << "the check leaves nothing behind";
}
