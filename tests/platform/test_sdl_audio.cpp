// The mixer core through the real SDL2 backend. The disk driver stands in
// for a sound card (SDL's audio thread calls the callback and writes the
// float32 stereo stream to a file); the dummy driver calls it at real-time
// cadence. Idle delays are short here (400 ms) so that the tests run
// quickly, yet long enough that the output does not suspend between checks.
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

void writeClick(const std::filesystem::path& path) {
    SF_INFO info{0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const std::vector<float> click(48, 0.5f);
    sf_writef_float(f, click.data(), 48);
    sf_close(f);
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

// The disk driver's output: the first sounding float, after which exactly
// 48 frames of `level` and then silence. Fails the test otherwise.
std::size_t clickOnset(const std::filesystem::path& raw, float level) {
    const std::string bytes = readFile(raw);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    std::size_t onset = 0;
    while (onset < out.size() && out[onset] == 0.0f) {
        ++onset;
    }
    EXPECT_LT(onset + 2 * 48, out.size()) << "the click is not in the output";
    for (std::size_t k = onset; k < out.size(); ++k) {
        if (out[k] != (k < onset + 2 * 48 ? level : 0.0f)) {
            ADD_FAILURE() << "float " << k - onset << " after the onset is " << out[k];
            break;
        }
    }
    return onset;
}

struct Mixer {
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    TCAAudioEngine engine{decoder, output};
};

} // namespace

TEST(SdlAudio, ClickPlayedThroughTheDiskDriverAppearsAtItsLevelOnACycleStart) {
    TempDir dir;
    writeClick(dir / "click.wav");
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "0");
    LogCapture log;
    Mixer m;
    ASSERT_EQ(m.engine.loadSampleAtPath(dir / "click.wav"), 0);
    m.engine.setMasterVolume(0.5f);
    ASSERT_TRUE(m.engine.start());
    EXPECT_TRUE(log.contains("[Clavio:Audio] Audio output started, 48000 Hz"));
    EXPECT_EQ(m.engine.outputSampleRate(), 48000.0);
    ASSERT_TRUE(rendersRise(3)); // some silence first, so the click lands mid-stream
    ASSERT_TRUE(m.engine.playSample(0, 0.8f, 1.0f));
    ASSERT_TRUE(waitFor([&] { return m.engine.busyVoiceCount() == 0; }));
    ASSERT_TRUE(rendersRise(2));
    m.engine.stop();
    EXPECT_FALSE(m.engine.isRunning());
    const std::size_t onset = clickOnset(dir / "out.raw", 0.5f * 0.5f * 0.8f);
    EXPECT_EQ(onset % (2 * 256), 0u) << "a voice starts at the first frame of a 256-frame cycle";
    EXPECT_GE(onset, 2u * 256 * 3) << "the click came before it was played";
}

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
        // A paused SDL device would not call render either, but its thread
        // would keep waking every period: the device must be closed.
        EXPECT_EQ(sdlAudioThreads(), 0) << "the device's thread outlived the suspension";
        m.engine.noteActivity();
        EXPECT_TRUE(rendersRise(3)) << "noteActivity did not resume the output";
        EXPECT_FALSE(m.engine.outputSuspended());
        EXPECT_EQ(sdlAudioThreads(), 1);
    }
    ASSERT_TRUE(waitFor([&] { return m.engine.outputSuspended(); }));
    m.engine.stop();
    EXPECT_FALSE(m.engine.outputSuspended());
    ASSERT_TRUE(m.engine.start());
    EXPECT_TRUE(rendersRise(3));
    m.engine.stop();
    EXPECT_EQ(log.count("Audio output started"), 2u);

    // Through the disk driver: a play while suspended, without noteActivity
    // first, brings the output back and is mixed whole. The driver rewrites
    // its file when the device reopens, so the file holds what followed.
    TempDir dir;
    writeClick(dir / "click.wav");
    ScopedEnv disk("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    ASSERT_EQ(m.engine.loadSampleAtPath(dir / "click.wav"), 0);
    ASSERT_TRUE(m.engine.start());
    ASSERT_TRUE(waitFor([&] { return m.engine.outputSuspended(); }));
    ASSERT_TRUE(m.engine.playSample(0, 0.8f, 1.0f));
    ASSERT_TRUE(waitFor([&] { return m.engine.busyVoiceCount() == 0; }));
    ASSERT_TRUE(rendersRise(2));
    m.engine.stop();
    clickOnset(dir / "out.raw", 0.5f * 0.8f);
    EXPECT_EQ(log.count("start failed"), 0u);
}

TEST(SdlAudio, IdleDelayComesFromTheEnvironmentAndZeroKeepsTheStreamRunning) {
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    for (const auto& [text, delay] : std::vector<std::pair<std::string, std::chrono::milliseconds>>{
             {"250", 250ms}, {"abc", TCAIdleControl::kDefaultDelay},
             {"-5", TCAIdleControl::kDefaultDelay}, {"12ms", TCAIdleControl::kDefaultDelay},
             {"99999999999999999999", TCAIdleControl::kDefaultDelay},
             {"", TCAIdleControl::kDefaultDelay}}) {
        ScopedEnv idle("CLAVIO_AUDIO_IDLE_MS", text);
        EXPECT_EQ(TCAAudioEngine(decoder, output).idleSuspendDelay(), delay) << text;
    }
    ScopedEnv idle("CLAVIO_AUDIO_IDLE_MS", "0");
    ScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    TCAAudioEngine engine(decoder, output);
    ASSERT_TRUE(engine.start());
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(engine.outputSuspended());
    EXPECT_TRUE(rendersRise(5)) << "a stream without idle saving keeps running";
    engine.stop();
}

TEST(SdlAudio, StartWithoutAUsableDeviceFailsCleanlyAndLogsSdlsReason) {
    // Every route SDL could take to a real device fails, whatever this
    // machine has: no PipeWire socket, no PulseAudio server, no ALSA device.
    TempDir dir;
    writeFile(dir / "client.conf", "autospawn = no\n");
    ScopedEnv pipewire{"PIPEWIRE_REMOTE", "clavio-test-no-such-remote"};
    ScopedEnv pulse{"PULSE_SERVER", "unix:" + (dir / "no-such-socket").string()};
    ScopedEnv pulseConf{"PULSE_CLIENTCONFIG", (dir / "client.conf").string()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path().string()};
    ScopedEnv alsa{"AUDIODEV", "clavio_test_no_such_pcm"};
    Mixer m;
    // An unknown driver; ALSA that cannot open its device; none chosen, so
    // pipewire, pulseaudio and alsa are tried in turn and the last one's
    // reason is given.
    for (const auto& [driverName, reason] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {"clavio-no-such-driver", "clavio-no-such-driver"}, {"alsa", "ALSA"},
             {std::nullopt, "ALSA"}}) {
        ScopedEnv driver("SDL_AUDIODRIVER", driverName);
        LogCapture log;
        EXPECT_FALSE(m.engine.start());
        EXPECT_FALSE(m.engine.isRunning());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("[Clavio:Audio] Audio output failed to start: ", 0), 0u);
        EXPECT_NE(log.lines()[0].find(reason), std::string::npos) << log.lines()[0];
    }
    // Nothing was left half open: the disk driver starts afterwards.
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    EXPECT_TRUE(m.engine.start());
    m.engine.stop();
}
