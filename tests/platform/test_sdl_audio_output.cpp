// The mixer through the real SDL2 audio backend. The disk driver stands in
// for a sound card: it calls the callback from SDL's audio thread and writes
// the float32 stereo stream to a file.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/audio/audio_engine.h"
#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::LogCapture;
using clavio::testing::ScopedEnv;
using clavio::testing::TempDir;

namespace {
void writeClick(const std::filesystem::path& path, int frames, float level) {
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = 48000;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> data(std::size_t(frames), level);
    sf_writef_float(f, data.data(), frames);
    sf_close(f);
}

template <typename Pred> bool waitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

std::vector<float> readFloats(const std::filesystem::path& path) {
    const std::string bytes = clavio::testing::readFile(path);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

// Makes every route SDL could take to a real device fail, whatever this
// machine has: no PipeWire socket, no PulseAudio server (and no autospawn),
// no ALSA device.
struct NoAudioDevice {
    TempDir dir;
    ScopedEnv pipewire{"PIPEWIRE_REMOTE", "clavio-test-no-such-remote"};
    ScopedEnv pulse{"PULSE_SERVER", "unix:" + (dir / "no-such-socket").string()};
    ScopedEnv pulseConf{"PULSE_CLIENTCONFIG", (dir / "client.conf").string()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path().string()};
    ScopedEnv alsa{"AUDIODEV", "clavio_test_no_such_pcm"};
    NoAudioDevice() { clavio::testing::writeFile(dir / "client.conf", "autospawn = no\n"); }
};
} // namespace

TEST(SdlAudioOutput, ClickPlayedThroughTheDiskDriverAppearsAtItsLevel) {
    TempDir dir;
    writeClick(dir / "click.wav", 48, 0.5f);
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "0");
    LogCapture log;

    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    AudioEngine engine(decoder, output);
    const auto click = engine.loadSample((dir / "click.wav").string());
    ASSERT_EQ(click, 0);
    engine.setMasterVolume(0.5f);
    ASSERT_TRUE(engine.start());
    EXPECT_TRUE(engine.isRunning());
    EXPECT_TRUE(log.contains("[Clavio:Audio] AVAudioEngine started, sr=48000"));
    EXPECT_EQ(engine.native.outputSampleRate(), 48000.0);

    // Some silence first, so the click lands mid-stream.
    const auto calls = engine.renderCallCount();
    ASSERT_TRUE(
        waitFor([&] { return engine.renderCallCount() >= calls + 3; }, std::chrono::seconds(5)));
    const auto hits = engine.activeVoiceHits();
    ASSERT_TRUE(engine.play(click, 0.8f, 1.0f));
    ASSERT_TRUE(waitFor(
        [&] { return engine.activeVoiceHits() > hits && engine.native.busyVoiceCount() == 0; },
        std::chrono::seconds(5)));
    const auto after = engine.renderCallCount();
    ASSERT_TRUE(
        waitFor([&] { return engine.renderCallCount() >= after + 2; }, std::chrono::seconds(5)));
    engine.stop();
    EXPECT_FALSE(engine.isRunning());

    const std::vector<float> out = readFloats(dir / "out.raw");
    ASSERT_GE(out.size(), 2u * 256 * 6);
    std::size_t onset = 0;
    while (onset < out.size() && out[onset] == 0.0f) {
        ++onset;
    }
    ASSERT_LT(onset, out.size()) << "the click is not in the output";
    EXPECT_EQ(onset % (2 * 256), 0u) << "a voice starts at the first frame of a 256-frame cycle";
    EXPECT_GE(onset, 2u * 256 * 3) << "the click came before it was played";
    const float level = 0.5f * 0.5f * 0.8f; // sample x master x gain
    for (std::size_t k = 0; k < 2 * 48; ++k) {
        ASSERT_EQ(out[onset + k], level) << "frame " << k / 2;
    }
    for (std::size_t k = onset + 2 * 48; k < out.size(); ++k) {
        ASSERT_EQ(out[k], 0.0f) << "sound after the click's 48 frames at float " << k;
    }
}

TEST(SdlAudioOutput, StartWithoutAUsableDeviceFailsCleanlyAndLogsSdlsReason) {
    TempDir dir;
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output;
    AudioEngine engine(decoder, output);
    NoAudioDevice noDevice;
    {
        // Unknown driver: SDL_Init fails.
        ScopedEnv driver("SDL_AUDIODRIVER", "clavio-no-such-driver");
        LogCapture log;
        EXPECT_FALSE(engine.start());
        EXPECT_FALSE(engine.isRunning());
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("[Clavio:Audio] AVAudioEngine start failed: ", 0), 0u);
        EXPECT_NE(log.lines()[0].find("clavio-no-such-driver"), std::string::npos)
            << "SDL's reason should name the driver: " << log.lines()[0];
    }
    {
        // ALSA initialises, but the device cannot be opened.
        ScopedEnv driver("SDL_AUDIODRIVER", "alsa");
        LogCapture log;
        EXPECT_FALSE(engine.start());
        EXPECT_TRUE(log.contains("[Clavio:Audio] AVAudioEngine start failed: ALSA"))
            << (log.lines().empty() ? "" : log.lines()[0]);
    }
    {
        // No driver chosen: pipewire, pulseaudio and alsa are tried in turn;
        // the reason given is the last one's.
        ScopedEnv driver("SDL_AUDIODRIVER", std::nullopt);
        LogCapture log;
        EXPECT_FALSE(engine.start());
        EXPECT_TRUE(log.contains("[Clavio:Audio] AVAudioEngine start failed: ALSA"))
            << (log.lines().empty() ? "" : log.lines()[0]);
    }
    // Nothing was left half open: the disk driver starts afterwards.
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", (dir / "out.raw").string());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "0");
    EXPECT_TRUE(engine.start());
    engine.stop();
}
