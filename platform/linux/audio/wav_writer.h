// 32-bit float WAV files written block by block with libsndfile, for
// offline renders. The audio goes to a temporary file in the target's folder
// and only finish() moves it into place, so a render that fails or is
// interrupted leaves no WAV (and no stray temporary file) behind, and never
// half-overwrites an earlier one.
//
// Threading: one thread at a time; not real-time (it writes to disk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/linux/system/safe_file.h"

struct sf_private_tag;

namespace clavio::platform {

class WavWriter {
public:
    static constexpr int kDefaultSampleRate = 48000;
    static constexpr int kDefaultChannels = 2;
    // WAV keeps sizes in 32 bits; room is left for the header.
    static constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 4096;

    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Starts a file (safe_file's rules; replacing what is there). Returns an
    // error naming the path on failure.
    std::optional<std::string> open(const std::filesystem::path& path,
                                    int sampleRate = kDefaultSampleRate,
                                    int channels = kDefaultChannels);
    // Appends `frames` interleaved frames. After an error the writer is
    // failed: further writes and finish() return an error.
    std::optional<std::string> write(const float* interleaved, std::size_t frames);
    // Completes the file and moves it into place (replacing an earlier file
    // at the path). On failure nothing is left at the path that was not
    // there before.
    std::optional<std::string> finish();
    // Completes the audio without moving it into place: file() is then placed
    // together with the command's other outputs (commitTogether).
    std::optional<std::string> complete();
    SafeFile& file() { return _out; }
    // Gives up: removes the temporary file. Also done by the destructor.
    void discard() noexcept;

    bool isOpen() const { return _file != nullptr; }
    std::uint64_t framesWritten() const { return _frames; }
    const std::filesystem::path& target() const { return _target; }

private:
    sf_private_tag* _file = nullptr;
    SafeFile _out;
    std::filesystem::path _target;
    int _channels = 0;
    std::uint64_t _frames = 0;
    std::uint64_t _maxFrames = 0;
    std::optional<std::string> _error;
};

} // namespace clavio::platform
