// The decoder against files whose headers say something the data does not
// back up (inputs found by fuzz/fuzz_sndfile_decoder.cpp).
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::readFile;
using clavio::testing::TempDir;
using clavio::testing::writeFile;

namespace {

constexpr int kFrames = 1000;

// A mono 16-bit FLAC of kFrames frames of a ramp.
std::string flacBytes(const TempDir& dir) {
    const auto path = dir / "ramp.flac";
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = 48000;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> ramp(kFrames);
    for (int i = 0; i < kFrames; ++i) {
        ramp[i] = float(i) / kFrames - 0.5f;
    }
    sf_writef_float(f, ramp.data(), kFrames);
    sf_close(f);
    return readFile(path);
}

// Rewrites the 36-bit total-samples field of the STREAMINFO block, which
// follows "fLaC", a 4-byte block header and 13 bytes of other fields.
std::string withTotalSamples(std::string flac, std::uint64_t total) {
    EXPECT_EQ(flac.substr(0, 4), "fLaC");
    auto* b = reinterpret_cast<unsigned char*>(flac.data());
    b[21] = static_cast<unsigned char>((b[21] & 0xF0) | ((total >> 32) & 0x0F));
    b[22] = static_cast<unsigned char>(total >> 24);
    b[23] = static_cast<unsigned char>(total >> 16);
    b[24] = static_cast<unsigned char>(total >> 8);
    b[25] = static_cast<unsigned char>(total);
    return flac;
}

} // namespace

TEST(SndfileDecoderClaims, MemoryFollowsTheFramesReadNotTheHeadersClaim) {
    TempDir dir;
    const std::string flac = flacBytes(dir);
    ASSERT_EQ(withTotalSamples(flac, kFrames), flac); // the field is where we think
    // 50 million frames claimed by a file of about a hundred bytes.
    writeFile(dir / "claims.flac", withTotalSamples(flac, 50'000'000));
    platform::SndfileDecoder decoder;
    DecodedAudio audio;
    std::string error;
    ASSERT_TRUE(decoder.decode(dir / "claims.flac", audio, error)) << error;
    EXPECT_EQ(audio.frameCount, std::uint32_t(kFrames));
    EXPECT_EQ(audio.frames.size(), std::size_t(kFrames));
    EXPECT_LT(audio.frames.capacity(), std::size_t(2 * kFrames));
    EXPECT_NEAR(audio.frames[kFrames / 2], 0.0f, 1e-3);
}

TEST(SndfileDecoderClaims, FlacOfUnknownLengthDecodesWholeAndOverLimitClaimsAreRefused) {
    TempDir dir;
    const std::string flac = flacBytes(dir);
    platform::SndfileDecoder decoder;
    DecodedAudio audio;
    std::string error;

    // FLAC writes 0 total samples when the encoder did not know the length.
    writeFile(dir / "unknown.flac", withTotalSamples(flac, 0));
    ASSERT_TRUE(decoder.decode(dir / "unknown.flac", audio, error)) << error;
    EXPECT_EQ(audio.frameCount, std::uint32_t(kFrames));
    EXPECT_NEAR(audio.frames[kFrames - 1], 0.499f, 1e-3);

    // A claim past the decoder's limit is refused before reading.
    writeFile(dir / "huge.flac", withTotalSamples(flac, 0xFFFFFFFFFull));
    EXPECT_FALSE(decoder.decode(dir / "huge.flac", audio, error));
    EXPECT_NE(error.find("huge.flac: too long"), std::string::npos) << error;
}

TEST(SndfileDecoderClaims, TruncatedOggVorbisIsRefusedWithOneLine) {
    // libsndfile 1.2.0 leaks libvorbis' header record on this path; the
    // sanitizer runs suppress that one leak (tests/lsan.supp).
    TempDir dir;
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = 48000;
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    SNDFILE* f = sf_open((dir / "full.ogg").c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> tone(4800, 0.25f);
    sf_writef_float(f, tone.data(), static_cast<sf_count_t>(tone.size()));
    sf_close(f);
    const std::string ogg = readFile(dir / "full.ogg");
    ASSERT_GT(ogg.size(), 512u);
    writeFile(dir / "cut.ogg", ogg.substr(0, 512));

    platform::SndfileDecoder decoder;
    DecodedAudio audio;
    std::string error;
    EXPECT_FALSE(decoder.decode(dir / "cut.ogg", audio, error));
    EXPECT_EQ(error.rfind((dir / "cut.ogg").string() + ": ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}
