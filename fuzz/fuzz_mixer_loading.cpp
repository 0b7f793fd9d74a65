// Audio files through the whole sample path: the libsndfile decoder, the
// mixer front's load (with its path cache), voices at several pitches,
// frames pulled from an offline output, and the unload.
// Properties: no crash, leak or sanitizer report; a file that fails to load
// leaves the list empty; a loaded file is cached (a second load gives the
// same index without a second sample); every rendered frame is a finite
// number; every voice ends within the frames its length and pitch allow;
// after unloading, no voice is busy and the output is silent.
// fuzz-max-len: 65536
// fuzz-seeds: share/clavio/**/soft_1.wav share/clavio/**/space_1.wav
#include "engine/audio/audio_engine.h"
#include "engine/audio/offline_audio_output.h"
#include "fuzz/support/fuzz_support.h"
#include "platform/linux/audio/sndfile_decoder.h"

using namespace clavio;

namespace {

constexpr std::uint32_t kBlock = kTCAOutputBufferFrames;
// Longest a voice is followed to its end; longer ones are cut by the unload.
constexpr std::uint64_t kMaxFollowedFrames = 1u << 18;
constexpr float kPitches[] = {0.5f, 0.96f, 1.0f, 1.04f, 2.0f, 7.5f};

struct Rig {
    fuzz::ScratchFile file{{"key.wav"}};
    platform::SndfileDecoder decoder;
    OfflineAudioOutput output{48000.0};
    AudioEngine engine{decoder, output};
    std::vector<float> buffer = std::vector<float>(2 * kBlock);

    Rig() { CLAVIO_FUZZ_CHECK(engine.start()); }

    // Pulls one block; true when every value is finite and, for `silent`, zero.
    bool pullBlock(bool silent) {
        output.pull(buffer.data(), kBlock);
        for (float v : buffer) {
            if (!std::isfinite(v) || (silent && v != 0.0f)) {
                return false;
            }
        }
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Rig rig;
    rig.file.write(data, size);
    const std::string path = rig.file.paths().front().string();

    // What the decoder gives, to know what the mixer should make of it.
    DecodedAudio audio;
    std::string error;
    const bool decodes = rig.decoder.decode(path, audio, error);

    const std::int32_t index = rig.engine.loadSample(path);
    CLAVIO_FUZZ_CHECK(index >= 0 || rig.engine.loadedSampleCount() == 0);
    CLAVIO_FUZZ_CHECK((index >= 0) == decodes);
    if (index < 0) {
        return 0;
    }
    CLAVIO_FUZZ_CHECK(rig.engine.loadSample(path) == index);
    CLAVIO_FUZZ_CHECK(rig.engine.loadedSampleCount() == 1);

    // A sample that is not a number (or infinite) would turn every voice
    // mixed with it into noise; it must never reach the mixer. With gain 1
    // and a few voices, finite samples of sane size mix to finite frames.
    float peak = 0.0f;
    for (float v : audio.frames) {
        CLAVIO_FUZZ_CHECK(std::isfinite(v));
        peak = std::fmax(peak, std::fabs(v));
    }
    const bool sane = peak <= 1e30f;

    double longest = 0.0;
    const double rateRatio = audio.sampleRate / rig.engine.outputSampleRate();
    for (float pitch : kPitches) {
        CLAVIO_FUZZ_CHECK(rig.engine.play(index, 1.0f, pitch));
        longest = std::fmax(longest, double(audio.frameCount) / (rateRatio * double(pitch)));
    }
    // Voices short enough are followed to their end; longer ones for 4 blocks.
    const bool followed = longest <= double(kMaxFollowedFrames);
    const auto blocks = followed ? std::uint64_t(longest) / kBlock + 2 : 4;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        CLAVIO_FUZZ_CHECK(rig.pullBlock(false) || !sane);
    }
    CLAVIO_FUZZ_CHECK(!followed || rig.engine.busyVoiceCount() == 0);

    rig.engine.unloadAll();
    CLAVIO_FUZZ_CHECK(rig.engine.busyVoiceCount() == 0);
    CLAVIO_FUZZ_CHECK(rig.engine.loadedSampleCount() == 0);
    CLAVIO_FUZZ_CHECK(!rig.engine.play(index, 1.0f, 1.0f));
    CLAVIO_FUZZ_CHECK(rig.pullBlock(true));
    return 0;
}
