// The microphone of a replayed trace on virtual time: the driving thread
// hands each "mic" record to deliver() (a ReplaySource's mic sink), which
// calls the started consumer's block callback exactly as a capture thread
// would. Without a start, or after stop(), blocks are dropped.
//
// Threading contract: start(), stop() and deliver() on the one thread that
// drives the replay (the offline render's); lost() from any thread (a trace
// never loses its device).
#pragma once

#include <cstdint>
#include <string>

#include "engine/ports/microphone.h"

namespace clavio {

inline constexpr std::string_view kReplayMicrophoneName = "Trace Replay Microphone";

class ReplayMicrophone final : public Microphone {
public:
    // `rate`: the trace's sample rate, reported by start().
    explicit ReplayMicrophone(double rate) : _rate(rate) {}

    // Any device name opens the trace's microphone.
    MicrophoneStart start(std::string_view deviceName, double blockSeconds,
                          MicrophoneBlockCallback callback, void* context) override;
    void stop() override;
    std::vector<std::string> deviceNames() override;

    void deliver(const float* samples, std::size_t count, std::uint32_t rate,
                 std::uint64_t firstSampleTicks) noexcept;
    std::uint64_t blocksDelivered() const noexcept { return _delivered; }

private:
    double _rate;
    MicrophoneBlockCallback _callback = nullptr;
    void* _context = nullptr;
    std::uint64_t _delivered = 0;
};

} // namespace clavio
