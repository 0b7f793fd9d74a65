// The mixer core through the real SDL2 backend: the dummy driver pulls at
// real-time cadence, the disk driver writes the float32 stereo stream to a file.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/audio/tca_audio_engine.h"
#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
using namespace std::chrono_literals;

namespace {

// A 48-frame click at 0.5 in `dir`/click.wav.
std::filesystem::path writeClick(const TempDir& dir) {
    SF_INFO info{0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* f = sf_open((dir / "click.wav").c_str(), SFM_WRITE, &info);
    const std::vector<float> click(48, 0.5f);
    sf_writef_float(f, click.data(), 48);
    sf_close(f);
    return dir / "click.wav";
}

// Waits until the render count has risen by `n`.
bool rendersRise(std::uint64_t n) {
    const auto from = TCAAudioEngine::renderCallCount();
    return waitFor([&] { return TCAAudioEngine::renderCallCount() >= from + n; });
}

int sdlAudioThreads() {
    const auto names = threadNames();
    return int(std::count_if(names.begin(), names.end(),
                             [](const std::string& n) { return n.rfind("SDLAudio", 0) == 0; }));
}

// Checks that the disk driver's output is silence, then exactly 48 frames of
// `level`, then silence again.
void expectClick(const std::filesystem::path& raw, float level) {
    const std::string bytes = readFile(raw);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    const auto onset = std::find_if(out.begin(), out.end(), [](float x) { return x != 0.0f; });
    EXPECT_GT(out.end() - onset, 2 * 48) << "the click is not in the output";
    for (auto it = onset; it != out.end(); ++it) {
        ASSERT_EQ(*it, it - onset < 2 * 48 ? level : 0.0f) << "float " << it - onset;
    }
}

struct Mixer {
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    TCAAudioEngine engine{decoder, output};
};

} // namespace

TEST(SdlAudio, QuietOutputClosesTheDeviceUntilActivityOrAPlayBringsItBack) {
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    LogCapture log;
    Mixer m;
    m.engine.setIdleSuspend(400ms, 10ms);
    ASSERT_TRUE(m.engine.start());
    ASSERT_TRUE(rendersRise(3));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(waitFor([&] { return m.engine.outputSuspended(); }));
        EXPECT_TRUE(m.engine.isRunning()) << "suspension is invisible to callers";
        const auto calls = TCAAudioEngine::renderCallCount();
        std::this_thread::sleep_for(250ms);
        EXPECT_EQ(TCAAudioEngine::renderCallCount(), calls) << "render called while suspended";
        // A paused device's thread would keep waking every period: it must be closed.
        EXPECT_EQ(sdlAudioThreads(), 0) << "the device's thread outlived the suspension";
        m.engine.noteActivity();
        EXPECT_TRUE(rendersRise(3)) << "noteActivity did not resume the output";
        EXPECT_FALSE(m.engine.outputSuspended());
        EXPECT_EQ(sdlAudioThreads(), 1);
    }
    m.engine.stop();
    EXPECT_FALSE(m.engine.outputSuspended());

    // Through the disk driver (its file restarts when the device reopens): a play
    // while suspended, without noteActivity first, brings the output back whole.
    TempDir dir;
    ScopedEnv disk("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    ASSERT_EQ(m.engine.loadSampleAtPath(writeClick(dir)), 0);
    ASSERT_TRUE(m.engine.start());
    ASSERT_TRUE(waitFor([&] { return m.engine.outputSuspended(); }));
    ASSERT_TRUE(m.engine.playSample(0, 0.8f, 1.0f));
    ASSERT_TRUE(waitFor([&] { return m.engine.busyVoiceCount() == 0; }));
    ASSERT_TRUE(rendersRise(2));
    m.engine.stop();
    expectClick(dir / "out.raw", 0.5f * 0.8f);
    EXPECT_EQ(log.count("start failed"), 0u);
}
