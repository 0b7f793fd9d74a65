// An audio output without a device: the caller pulls frames from the render
// function on its own thread. Used by tests and by offline rendering to a
// file, which pulls in small blocks, so a pull is one direct call with the
// caller's buffer: no copy, no allocation.
//
// Threading contract: start(), stop() and pull*() are called from one thread,
// or pulls run on a dedicated thread that begins after start() and is joined
// before stop(). Pulls never run concurrently with each other.
#pragma once

#include "engine/ports/audio_output.h"

namespace clavio {

class OfflineAudioOutput final : public AudioOutput {
public:
    explicit OfflineAudioOutput(double sampleRate = 48000.0) noexcept : _sampleRate(sampleRate) {}

    // Always starts, at the rate given at construction.
    AudioOutputStart start(const AudioOutputRequest& request, AudioRenderFunction render,
                           void* context) override;
    void stop() override;
    bool isStarted() const noexcept { return _render != nullptr; }
    double sampleRate() const noexcept { return _sampleRate; }

    // Renders `frames` frames of interleaved stereo into `interleaved`, which
    // holds 2 x frames floats. When not started, writes silence and returns
    // false.
    bool pull(float* interleaved, std::uint32_t frames) noexcept;
    // The same into two channel buffers of `frames` floats each.
    bool pullSplit(float* left, float* right, std::uint32_t frames) noexcept;

private:
    double _sampleRate;
    AudioRenderFunction _render = nullptr;
    void* _context = nullptr;
};

} // namespace clavio
