// The microphone through SDL2's capture devices: mono float32 at the
// device's own rate (the rate the sound server reports for it; 48000 Hz when
// it reports none), in blocks of about the requested length rounded to a
// power of two frames (256 at 48 kHz for 5 ms). SDL mixes a stereo source
// down to mono.
//
// Device choice: an empty name opens the system's default source; any other
// name must be one deviceNames() lists (SDL_GetAudioDeviceName with
// iscapture: the server's description of a source, "Built-in Audio Analog
// Stereo"). A name that is not listed is refused with one line, not replaced
// by the default: the user chose that device.
//
// Driver choice and SDL sharing: as the output (SDL_AUDIODRIVER when set,
// else pipewire, then pulseaudio, then alsa). SDL_InitSubSystem counts
// references, so when the output already holds the audio subsystem the
// microphone joins the same driver, and each releases only its own reference.
//
// Timestamps: SDL calls the block callback once a block has been read from
// the server, so the block's last sample was captured about when the callback
// runs; its first is stamped at hostTicks() minus the block's duration.
//
// Loss: when the source disappears (unplugged, module unloaded, the server
// gone) SDL marks the device disconnected and keeps calling back with
// silence, or stops calling back (backends with their own thread). The
// callback checks the device's status (an atomic read inside SDL), stops
// handing blocks on and sets lost(); lost() also asks SDL when called, so a
// backend that stopped calling back is noticed too.
//
// Threading: see the port. The capture callback takes no lock, allocates
// nothing and logs nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ports/microphone.h"

namespace clavio::platform {

class SdlMicrophone final : public Microphone {
public:
    SdlMicrophone() = default;
    ~SdlMicrophone() override;
    SdlMicrophone(const SdlMicrophone&) = delete;
    SdlMicrophone& operator=(const SdlMicrophone&) = delete;

    MicrophoneStart start(std::string_view deviceName, double blockSeconds,
                          MicrophoneBlockCallback callback, void* context) override;
    void stop() override;
    std::vector<std::string> deviceNames() override;
    bool lost() const noexcept override;

    // The frames of each block of the open device; 0 when stopped. For tests.
    std::uint32_t blockFrames() const noexcept { return _blockFrames; }

private:
    // Opens the device with the subsystem initialised; 0 and `error` on failure.
    std::uint32_t open(const std::string& name, double blockSeconds, MicrophoneStart& result,
                       std::string& error);
    static void capture(void* userdata, std::uint8_t* stream, int len) noexcept;

    // Guards _device against stop() while lost() asks SDL about it.
    mutable std::mutex _deviceMutex;
    std::atomic<std::uint32_t> _device{0};
    mutable std::atomic<bool> _lost{false};
    std::uint32_t _blockFrames = 0;
    double _rate = 0.0;
    std::uint64_t _nextFirst = 0; // capture thread: where the next block follows on
    MicrophoneBlockCallback _callback = nullptr;
    void* _context = nullptr;
};

} // namespace clavio::platform
