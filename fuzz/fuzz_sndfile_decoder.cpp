// Audio files through the libsndfile decoder (the path every pack sample
// takes). libsndfile picks the format from the contents and, only when it
// recognises none, from the file name's extension (".au", ".vox", ".gsm" are
// read as headerless data), so each input that fails as "key.wav" is also
// decoded under each of those names.
// Properties: no crash, leak or sanitizer report; a refusal is one line that
// names the file; a success holds frameCount x channelCount samples, within
// the decoder's size limit, at a positive sample rate.
// fuzz-max-len: 65536
// fuzz-seeds: share/clavio/**/*.wav share/clavio/**/*.flac share/clavio/**/*.ogg
#include "fuzz/support/fuzz_support.h"
#include "platform/linux/audio/sndfile_decoder.h"

using namespace clavio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::ScratchFile file({"key.wav", "key.au", "key.vox", "key.gsm"});
    static const platform::SndfileDecoder decoder;
    file.write(data, size);
    for (const auto& path : file.paths()) {
        DecodedAudio audio;
        std::string error;
        const bool ok = decoder.decode(path, audio, error);
        if (!ok) {
            CLAVIO_FUZZ_CHECK(fuzz::isOneLine(error));
            CLAVIO_FUZZ_CHECK(error.rfind(path.string(), 0) == 0);
        } else {
            CLAVIO_FUZZ_CHECK(audio.frameCount > 0 && audio.channelCount > 0);
            CLAVIO_FUZZ_CHECK(std::isfinite(audio.sampleRate) && audio.sampleRate > 0.0);
            CLAVIO_FUZZ_CHECK(audio.frames.size() ==
                              std::size_t(audio.frameCount) * std::size_t(audio.channelCount));
            CLAVIO_FUZZ_CHECK(audio.frames.size() <= kMaxDecodedSamples);
        }
        if (ok && path == file.paths().front()) {
            break; // recognised contents: the name plays no part
        }
    }
    return 0;
}
