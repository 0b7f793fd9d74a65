// libsndfile implementation of the audio decoder port: WAV, FLAC, Ogg
// Vorbis, Opus and MP3 (with Debian's libsndfile 1.2).
#pragma once

#include "engine/ports/audio_decoder.h"

namespace clavio::platform {

class SndfileDecoder final : public AudioDecoder {
public:
    using AudioDecoder::decode;
    bool decode(const std::filesystem::path& path, DecodedAudio& out, std::string& error,
                const DecodeLimits& limits) const override;
};

} // namespace clavio::platform
