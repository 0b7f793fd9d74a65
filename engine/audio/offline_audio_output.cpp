#include "engine/audio/offline_audio_output.h"

#include <algorithm>

namespace clavio {

AudioOutputStart OfflineAudioOutput::start(const AudioOutputRequest& /*request*/,
                                           AudioRenderFunction render, void* context) {
    _render = render;
    _context = context;
    return AudioOutputStart{render != nullptr,
                            _sampleRate,
                            render ? std::string() : std::string("no render function"),
                            {}};
}

void OfflineAudioOutput::stop() {
    _render = nullptr;
    _context = nullptr;
}

bool OfflineAudioOutput::pull(float* interleaved, std::uint32_t frames) noexcept {
    if (!_render) {
        std::fill_n(interleaved, std::size_t(frames) * 2, 0.0f);
        return false;
    }
    AudioBuffer buffer{interleaved, frames * 2};
    _render(_context, frames, &buffer, 1);
    return true;
}

bool OfflineAudioOutput::pullSplit(float* left, float* right, std::uint32_t frames) noexcept {
    if (!_render) {
        std::fill_n(left, frames, 0.0f);
        std::fill_n(right, frames, 0.0f);
        return false;
    }
    AudioBuffer buffers[2] = {{left, frames}, {right, frames}};
    _render(_context, frames, buffers, 2);
    return true;
}

} // namespace clavio
