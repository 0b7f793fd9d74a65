// Idle saving for the mixer's output: after a quiet spell (no activity noted,
// no voice sounding) the output is suspended, and it is resumed when activity
// is noted again.
//
// Why: a running stream costs even when it plays silence. Every period (5.3
// ms at 256 frames) the output thread wakes, and the sound server mixes and
// writes for it: about 0.3 % of a core in this process and several times that
// in PulseAudio. Suspended (the device closed), it costs nothing. Reopening
// reaches the first render in about 1 ms, and the keystroke pipeline plays a
// press sound searchPostMs + 10 ms (30 ms by default) after the key went
// down, so a resume begun at key-down finishes before the press is mixed.
//
// Threading contract:
// - noteActivity() may be called from any thread. On Linux it is called by
//   the keyboard thread (an ordinary thread, not a real-time one: the
//   pipeline's key-down handler) and by the main thread (pack preview). It
//   takes no lock and allocates nothing: a clock read (vDSO, no system call),
//   an atomic store, add and load and, only while the output is suspended,
//   one futex wake (std::atomic::notify_one) for the idle thread. The render
//   callback never calls it.
// - The idle thread does no periodic work: while the output runs it sleeps
//   until the quiet spell could end (the last activity plus the delay) and
//   then suspends or sleeps until the new end; while suspended it sleeps on
//   the activity count until noteActivity(), notePlay() or end() changes it.
//   A resume begun at key-down ends before a press sound played 30 ms later.
// - notePlay() is called by the mixer after it started a voice (a control
//   thread that may lock): it notes activity, which wakes a suspended idle
//   thread at once, so a sound played without a prior noteActivity() is
//   mixed late by the resume time, never lost (the voice waits at its first
//   frame while no render runs).
// - begin(), end() and configure() are called on the main thread by the
//   mixer's start() and stop(). The idle thread is the only caller of the
//   output's suspend() and resume(), and runs only between begin() and end(),
//   so it never overlaps the output's start() or stop().
// - The idle thread reads the voices' states with relaxed loads (a hint: a
//   voice claimed a moment later also notes activity).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "engine/ports/audio_output.h"

namespace clavio {

class TCAAudioEngine;

class TCAIdleControl {
public:
    // The default quiet spell before the output is suspended, unless the
    // environment variable CLAVIO_AUDIO_IDLE_MS gives another number of
    // milliseconds (0 turns suspension off; anything that is not a whole
    // number from 0 to 86400000 keeps the default).
    static constexpr std::chrono::milliseconds kDefaultDelay{3000};

    TCAIdleControl(const TCAAudioEngine& engine, AudioOutput& output);
    ~TCAIdleControl();
    TCAIdleControl(const TCAIdleControl&) = delete;
    TCAIdleControl& operator=(const TCAIdleControl&) = delete;

    // Main thread. Takes effect at the next begin(). A delay of 0 turns
    // suspension off.
    void configure(std::chrono::milliseconds delay);
    std::chrono::milliseconds delay() const {
        return std::chrono::milliseconds(_delayMs.load(std::memory_order_relaxed));
    }

    // Main thread, after the output started: starts the idle thread when the
    // output can suspend and suspension is on.
    void begin();
    // Main thread, before the output stops: ends the idle thread. The output
    // may be left suspended; its stop() handles that.
    void end();

    // Any thread (see the contract above).
    void noteActivity() noexcept;
    // Control thread, never a real-time one.
    void notePlay() noexcept { noteActivity(); }
    // Any thread. Whether the output is suspended now (diagnostic).
    bool suspended() const noexcept { return _suspended.load(std::memory_order_acquire); }

private:
    void run();

    const TCAAudioEngine& _engine;
    AudioOutput& _output;
    // Written by configure(), read by the idle thread when it starts.
    std::atomic<long long> _delayMs;
    // Bumped by every noteActivity() and by end(); a suspended idle thread
    // waits on it (32 bits: a futex word, so wait and notify are direct).
    std::atomic<std::uint32_t> _activity{0};
    // steady_clock nanoseconds of the last noteActivity().
    std::atomic<std::int64_t> _lastActivityNs{0};
    std::atomic<bool> _suspended{false};
    std::atomic<bool> _stopRequested{false};
    std::mutex _mutex; // with _stop: lets end() cut short a running thread's sleep
    std::condition_variable _stop;
    std::thread _thread;
};

} // namespace clavio
