// libsndfile implementation of the audio decoder port: WAV, FLAC, Ogg
// Vorbis, Opus and MP3 (with Debian's libsndfile 1.2).
#pragma once

#include "engine/ports/audio_decoder.h"

namespace clavio::platform {

class SndfileDecoder final : public AudioDecoder {
public:
    // `maxSeconds` > 0 refuses a longer file, reading no more than that
    // (plus one frame) of it; 0 leaves only the general size limit.
    explicit SndfileDecoder(double maxSeconds = 0.0) : _maxSeconds(maxSeconds) {}

    bool decode(const std::filesystem::path& path, DecodedAudio& out,
                std::string& error) const override;

private:
    double _maxSeconds;
};

} // namespace clavio::platform
