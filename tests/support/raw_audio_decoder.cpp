#include "tests/support/raw_audio_decoder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace clavio::testing {

namespace {
constexpr char kMagic[8] = {'C', 'L', 'V', 'R', 'A', 'W', '1', '\n'};
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8;
} // namespace

bool RawAudioDecoder::decode(const std::filesystem::path& path, DecodedAudio& out,
                             std::string& error, const DecodeLimits& limits) const {
    ++_calls;
    out.overLimit = false;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::uint32_t rate = 0, channels = 0;
    std::uint64_t frames = 0;
    if (bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0) {
        std::memcpy(&rate, bytes.data() + 8, 4);
        std::memcpy(&channels, bytes.data() + 12, 4);
        std::memcpy(&frames, bytes.data() + 16, 8);
    }
    // Like a real decoder, a short body yields the whole frames it holds.
    const std::uint64_t body = bytes.size() > kHeaderSize ? bytes.size() - kHeaderSize : 0;
    const std::uint64_t held =
        channels ? std::min<std::uint64_t>(frames, body / (4ull * channels)) : 0;
    if (rate == 0 || held == 0 || frames > UINT32_MAX || frames * channels > kMaxDecodedSamples) {
        error = path.string() + ": not a usable raw audio file";
        return false;
    }
    if (double(held) > limits.maxSeconds * rate || held * channels > limits.maxSamples) {
        error = path.string() + ": " + decodeLimitError(limits, held, double(rate));
        out.overLimit = true;
        return false;
    }
    out.frames.resize(held * channels);
    std::memcpy(out.frames.data(), bytes.data() + kHeaderSize, held * channels * 4);
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
