// The mixer front used by the coordinator: the core plus a cache from a
// sample file's path to its index, so a file shared by several velocity
// layers or key groups is decoded once.
//
// A facade: callers use only these members and never reach the core
// (TCAAudioEngine, the voices and the render function) through it. Tests of
// the core construct a TCAAudioEngine themselves.
//
// Threading contract: as the core (see tca_audio_engine.h). `cacheLock`
// guards `sampleCache`. Lock order: a load holds `cacheLock` while the core
// takes its own lock for the append; unloadAll releases `cacheLock` before
// the core unload takes the core lock; nothing takes them the other way.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "engine/audio/tca_audio_engine.h"

namespace clavio {

class AudioEngine {
public:
    // The decoder and the output must outlive the front.
    AudioEngine(const AudioDecoder& decoder, AudioOutput& output) : _native(decoder, output) {}

    // Control thread. The cached index for this exact path string, or the
    // core's load (failures are not cached, so a later call tries again).
    std::int32_t loadSample(const std::string& path);
    // Control thread. Empties the cache, then unloads every sample.
    void unloadAll();

    // Control thread. Adds samples decoded elsewhere (not cached by path).
    std::int32_t addDecodedSample(DecodedAudio&& audio) {
        return _native.addDecodedSample(std::move(audio));
    }

    // `pan`: -1 left to +1 right, 0 centred (see TCAAudioEngine::playSample).
    bool play(std::int32_t sampleIndex, float gain, float pitchShift, float pan = 0.0f) {
        return _native.playSample(sampleIndex, gain, pitchShift, pan);
    }
    // Any thread but the render callback, the keyboard thread included:
    // lock-free, allocation-free; one futex wake while the output is suspended. The coordinator
    // calls it from its key-down handler, about searchPostMs + 10 ms before the press sound is
    // played, so that an output suspended while nobody typed is running again by then (see
    // tca_idle_control.h). play() counts as activity too.
    void noteActivity() noexcept { _native.noteActivity(); }
    // Main thread, before start(): the idle suspension (see tca_idle_control.h).
    void setIdleSuspend(std::chrono::milliseconds delay) { _native.setIdleSuspend(delay); }
    std::chrono::milliseconds idleSuspendDelay() const { return _native.idleSuspendDelay(); }
    bool outputSuspended() const noexcept { return _native.outputSuspended(); }
    bool start() { return _native.start(); }
    void stop() { _native.stop(); }
    bool isRunning() const noexcept { return _native.isRunning(); }
    float masterVolume() const noexcept { return _native.masterVolume(); }
    void setMasterVolume(float volume) noexcept { _native.setMasterVolume(volume); }
    double outputSampleRate() const noexcept { return _native.outputSampleRate(); }
    // Any thread: samples loaded now, voices sounding now.
    std::size_t loadedSampleCount() const { return _native.loadedSampleCount(); }
    // Control thread. The envelope of what the mixer plays, for the
    // microphone's strike sensing (TCAAudioEngine::setOwnSoundEnvelope).
    void setOwnSoundEnvelope(bool on) { _native.setOwnSoundEnvelope(on); }
    const TCARingBuffer* ownSoundRing() { return _native.ownSoundRing(); }
    std::size_t busyVoiceCount() const noexcept { return _native.busyVoiceCount(); }
    std::uint64_t renderCallCount() const noexcept { return TCAAudioEngine::renderCallCount(); }
    std::uint64_t activeVoiceHits() const noexcept { return TCAAudioEngine::activeVoiceHits(); }

private:
    TCAAudioEngine _native;
    std::unordered_map<std::string, std::int32_t> sampleCache;
    std::mutex cacheLock;
};

} // namespace clavio
