// Idle saving through the real SDL2 backend: the dummy driver calls the
// callback at real-time cadence, the disk driver also writes what was played.
// Delays are short here (400 ms) so that the tests run quickly, yet long
// enough that the output does not suspend again between two checks.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "engine/audio/audio_engine.h"
#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace std::chrono_literals;
using clavio::testing::LogCapture;
using clavio::testing::ScopedEnv;
using clavio::testing::TempDir;

namespace {

template <typename Pred> bool waitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

// Waits until the render count has risen by `n`.
bool rendersRise(const AudioEngine& engine, std::uint64_t n) {
    const auto from = engine.renderCallCount();
    return waitFor([&] { return engine.renderCallCount() >= from + n; }, 5s);
}

// Threads of this process whose name starts with `prefix`.
int threadsNamed(const std::string& prefix) {
    int n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        n += clavio::testing::readFile(task.path() / "comm").rfind(prefix, 0) == 0;
    }
    return n;
}

struct IdleRig {
    explicit IdleRig(std::chrono::milliseconds delay = 400ms) {
        engine.native.setIdleSuspend(delay, 10ms);
    }
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    AudioEngine engine{decoder, output};
};

} // namespace

TEST(SdlAudioIdle, QuietOutputStopsRenderingUntilActivityIsNoted) {
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    LogCapture log;
    IdleRig rig;
    AudioEngine& engine = rig.engine;
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(rendersRise(engine, 3));

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(waitFor([&] { return engine.native.outputSuspended(); }, 5s))
            << "the output was never suspended";
        EXPECT_TRUE(engine.isRunning()) << "suspension is invisible to callers";
        const auto calls = engine.renderCallCount();
        std::this_thread::sleep_for(250ms);
        EXPECT_EQ(engine.renderCallCount(), calls) << "render still called while suspended";
        // A paused SDL device would not call render either, but its thread
        // would keep waking every period: the device must be closed.
        EXPECT_EQ(threadsNamed("SDLAudio"), 0) << "the device's thread outlived the suspension";

        engine.noteActivity();
        EXPECT_TRUE(rendersRise(engine, 3)) << "noteActivity did not resume the output";
        EXPECT_FALSE(engine.native.outputSuspended());
        EXPECT_EQ(threadsNamed("SDLAudio"), 1);
    }

    // Stopping a suspended output, and starting again, behave as always.
    ASSERT_TRUE(waitFor([&] { return engine.native.outputSuspended(); }, 5s));
    engine.stop();
    EXPECT_FALSE(engine.isRunning());
    EXPECT_FALSE(engine.native.outputSuspended());
    ASSERT_TRUE(engine.start());
    EXPECT_TRUE(rendersRise(engine, 3));
    engine.stop();
    EXPECT_EQ(log.count("AVAudioEngine started"), 2u);
    EXPECT_EQ(log.count("start failed"), 0u);
}

TEST(SdlAudioIdle, SoundPlayedWhileSuspendedIsMixedWholeAfterTheResume) {
    TempDir dir;
    {
        SF_INFO info{};
        info.channels = 1;
        info.samplerate = 48000;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open((dir / "click.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        const std::vector<float> click(48, 0.5f);
        sf_writef_float(f, click.data(), 48);
        sf_close(f);
    }
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    LogCapture log;
    IdleRig rig;
    AudioEngine& engine = rig.engine;
    const auto click = engine.loadSample((dir / "click.wav").string());
    ASSERT_EQ(click, 0);
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(waitFor([&] { return engine.native.outputSuspended(); }, 5s));
    const auto calls = engine.renderCallCount();

    // No noteActivity first: the play itself must bring the output back.
    ASSERT_TRUE(engine.play(click, 0.8f, 1.0f));
    ASSERT_TRUE(waitFor([&] { return engine.native.busyVoiceCount() == 0; }, 5s))
        << "the voice was never mixed to its end";
    EXPECT_GT(engine.renderCallCount(), calls);
    ASSERT_TRUE(rendersRise(engine, 2));
    engine.stop();

    // The disk driver rewrites its file when the device reopens, so the file
    // holds what was played since the resume.
    const std::string bytes = clavio::testing::readFile(dir / "out.raw");
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    std::size_t onset = 0;
    while (onset < out.size() && out[onset] == 0.0f) {
        ++onset;
    }
    ASSERT_LT(onset + 2 * 48, out.size()) << "the click is not in the output";
    for (std::size_t k = 0; k < 2 * 48; ++k) {
        ASSERT_EQ(out[onset + k], 0.5f * 0.8f) << "frame " << k / 2;
    }
    for (std::size_t k = onset + 2 * 48; k < out.size(); ++k) {
        ASSERT_EQ(out[k], 0.0f) << "sound after the click at float " << k;
    }
    EXPECT_EQ(log.count("start failed"), 0u);
}

TEST(SdlAudioIdle, DelayComesFromTheEnvironmentAndZeroKeepsTheStreamRunning) {
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    {
        ScopedEnv idle("CLAVIO_AUDIO_IDLE_MS", "250");
        AudioEngine engine(decoder, output);
        EXPECT_EQ(engine.native.idleSuspendDelay(), 250ms);
    }
    for (const char* bad : {"abc", "-5", "12ms", " 40", "99999999999999999999", ""}) {
        ScopedEnv idle("CLAVIO_AUDIO_IDLE_MS", bad);
        AudioEngine engine(decoder, output);
        EXPECT_EQ(engine.native.idleSuspendDelay(), TCAIdleControl::kDefaultDelay) << bad;
    }

    ScopedEnv idle("CLAVIO_AUDIO_IDLE_MS", "0");
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    AudioEngine engine(decoder, output);
    EXPECT_EQ(engine.native.idleSuspendDelay(), 0ms);
    ASSERT_TRUE(engine.start());
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(engine.native.outputSuspended());
    EXPECT_TRUE(rendersRise(engine, 5)) << "a stream without idle saving keeps running";
    engine.stop();
}
