#include "engine/replay/replay_microphone.h"

namespace clavio {

MicrophoneStart ReplayMicrophone::start(std::string_view, double, MicrophoneBlockCallback callback,
                                        void* context) {
    MicrophoneStart result;
    if (callback == nullptr) {
        result.error = "no block callback";
        return result;
    }
    _callback = callback;
    _context = context;
    result.started = true;
    result.sampleRate = _rate;
    result.deviceName = std::string(kReplayMicrophoneName);
    return result;
}

void ReplayMicrophone::stop() {
    _callback = nullptr;
    _context = nullptr;
}

std::vector<std::string> ReplayMicrophone::deviceNames() {
    return {std::string(kReplayMicrophoneName)};
}

void ReplayMicrophone::deliver(const float* samples, std::size_t count, std::uint32_t rate,
                               std::uint64_t firstSampleTicks) noexcept {
    if (_callback == nullptr) {
        return;
    }
    ++_delivered;
    _callback(_context, samples, std::uint32_t(count), double(rate), firstSampleTicks);
}

} // namespace clavio
