#include "tests/support/raw_audio_decoder.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace clavio::testing {

namespace {
constexpr char kMagic[8] = {'C', 'L', 'V', 'R', 'A', 'W', '1', '\n'};
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8;
} // namespace

bool RawAudioDecoder::decode(const std::filesystem::path& path, DecodedAudio& out,
                             std::string& error) const {
    ++_calls;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path.string() + ": cannot open";
        return false;
    }
    char header[kHeaderSize];
    if (!in.read(header, kHeaderSize)) {
        error = path.string() + ": truncated header";
        return false;
    }
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        error = path.string() + ": not a raw audio file";
        return false;
    }
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t frames = 0;
    std::memcpy(&rate, header + 8, 4);
    std::memcpy(&channels, header + 12, 4);
    std::memcpy(&frames, header + 16, 8);
    if (rate == 0 || channels == 0) {
        error = path.string() + ": no rate or no channels";
        return false;
    }
    if (frames == 0) {
        error = path.string() + ": no frames";
        return false;
    }
    if (frames > UINT32_MAX || frames * channels > kMaxDecodedSamples) {
        error = path.string() + ": too long";
        return false;
    }
    // Like a real decoder, a short body yields the whole frames it holds.
    const auto begin = in.tellg();
    in.seekg(0, std::ios::end);
    const auto bodyBytes = std::uint64_t(in.tellg() - begin);
    in.seekg(begin);
    const std::uint64_t held = std::min<std::uint64_t>(frames, bodyBytes / (4ull * channels));
    if (held == 0) {
        error = path.string() + ": no frames could be read";
        return false;
    }
    out.frames.resize(held * channels);
    in.read(reinterpret_cast<char*>(out.frames.data()), std::streamsize(held * channels * 4));
    out.frameCount = std::uint32_t(held);
    out.channelCount = channels;
    out.sampleRate = double(rate);
    return true;
}

void writeRawAudio(const std::filesystem::path& path, std::uint32_t sampleRate,
                   std::uint32_t channels, const std::vector<float>& samples,
                   std::uint64_t frameCount) {
    if (frameCount == UINT64_MAX) {
        frameCount = channels ? samples.size() / channels : 0;
    }
    std::ofstream outFile(path, std::ios::binary | std::ios::trunc);
    outFile.write(kMagic, sizeof kMagic);
    outFile.write(reinterpret_cast<const char*>(&sampleRate), 4);
    outFile.write(reinterpret_cast<const char*>(&channels), 4);
    outFile.write(reinterpret_cast<const char*>(&frameCount), 8);
    outFile.write(reinterpret_cast<const char*>(samples.data()),
                  std::streamsize(samples.size() * sizeof(float)));
}

} // namespace clavio::testing
