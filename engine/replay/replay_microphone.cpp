#include "engine/replay/replay_microphone.h"

#include "engine/replay/replay_timeline.h"

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

TimelineMicrophone::TimelineMicrophone(std::shared_ptr<ReplayTimeline> timeline)
    : _timeline(std::move(timeline)) {}

TimelineMicrophone::~TimelineMicrophone() {
    stop();
}

MicrophoneStart TimelineMicrophone::start(std::string_view, double,
                                          MicrophoneBlockCallback callback, void* context) {
    stop();
    MicrophoneStart result;
    if (callback == nullptr || _timeline->recordCount(TraceRecord::Type::mic) == 0) {
        result.error = "the trace holds no microphone blocks";
        return result;
    }
    _stopping.store(false);
    _thread = std::thread([this, callback, context] {
        ReplayPlayer player(_timeline, TraceRecord::Type::mic);
        player.setMicSink([callback, context](const float* samples, std::size_t count,
                                              std::uint32_t rate, std::uint64_t due) {
            callback(context, samples, std::uint32_t(count), double(rate), due);
        });
        // Short slices: stop() waits for the one running.
        while (!_stopping.load()) {
            player.runSlice(0.05);
        }
    });
    result.started = true;
    result.sampleRate = double(_timeline->summary().micRate);
    result.deviceName = std::string(kReplayMicrophoneName);
    return result;
}

void TimelineMicrophone::stop() {
    if (!_thread.joinable()) {
        return;
    }
    _stopping.store(true);
    _thread.join();
}

std::vector<std::string> TimelineMicrophone::deviceNames() {
    return {std::string(kReplayMicrophoneName)};
}

} // namespace clavio
