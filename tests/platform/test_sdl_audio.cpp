// The mixer core through the real SDL2 backend: the dummy driver pulls at
// real-time cadence, the disk driver writes the float32 stereo stream to a file.
// The microphone through SDL's capture: the disk driver reads a file, and a
// null sink's monitor on a private PulseAudio server hears what pacat plays.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/audio/latency_probe_output.h"
#include "engine/audio/tca_audio_engine.h"
#include "platform/linux/audio/pulse_latency.h"
#include "platform/linux/audio/sdl_audio_output.h"
#include "platform/linux/audio/sdl_microphone.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "tests/support/child_process.h"
#include "tests/support/coordinator_rig.h"
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

// Sleeps that ended (voluntary context switches) of this process's threads
// other than the caller.
long long otherThreadsWakeups() {
    long long n = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == std::to_string(gettid())) {
            continue;
        }
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                n += std::stoll(line.substr(24));
            }
        }
    }
    return n;
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
    m.engine.setIdleSuspend(400ms);
    ASSERT_TRUE(m.engine.start());
    ASSERT_TRUE(rendersRise(3));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(waitFor([&] { return m.engine.outputSuspended(); }));
        EXPECT_TRUE(m.engine.isRunning()) << "suspension is invisible to callers";
        const auto calls = TCAAudioEngine::renderCallCount();
        const long long wakeups = otherThreadsWakeups();
        std::this_thread::sleep_for(250ms);
        EXPECT_EQ(TCAAudioEngine::renderCallCount(), calls) << "render called while suspended";
#if !defined(__SANITIZE_THREAD__) // ThreadSanitizer's own background thread wakes on its own
        EXPECT_LE(otherThreadsWakeups() - wakeups, 1) << "a thread polls while nothing happens";
#else
        (void)wakeups;
#endif
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

// A private PulseAudio server with two null sinks, "Desk" and "Dock"; the dock
// can be unplugged (its module unloaded) and plugged back in.
struct TwoSinkServer {
    TempDir dir;
    ScopedEnv home{"HOME", (dir.path() / "home").string()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", (dir.path() / "xdg").string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir.path() / "home" / ".config").string()};
    ScopedEnv driver{"SDL_AUDIODRIVER", "pulseaudio"};
    std::optional<ChildProcess> server;

    static std::string sink(const char* name) {
        return std::string("module-null-sink sink_name=") + name +
               " rate=48000 channels=2 sink_properties=device.description=" + name;
    }
    bool up() {
        std::filesystem::create_directories(dir.path() / "xdg");
        std::filesystem::permissions(dir.path() / "xdg", std::filesystem::perms::owner_all);
        server.emplace(
            "/usr/bin/pulseaudio",
            std::vector<std::string>{"--daemonize=no", "--exit-idle-time=-1", "-n",
                                     "--use-pid-file=no", "--load=module-native-protocol-unix",
                                     "--load=" + sink("Desk"), "--load=" + sink("Dock")});
        return waitFor([] { return runProgram("/usr/bin/pactl", {"info"}, 2.0).status == 0; });
    }
    std::string pactl(std::vector<std::string> args) {
        return runProgram("/usr/bin/pactl", args, 5.0).output;
    }
    void unplugDock() {
        const std::string modules = pactl({"list", "short", "modules"});
        const auto line = modules.rfind('\n', modules.find("sink_name=Dock"));
        pactl({"unload-module", std::to_string(std::stoi(modules.substr(line + 1)))});
    }
    void plugDock() {
        pactl({"load-module", "module-null-sink", "sink_name=Dock", "rate=48000", "channels=2",
               "sink_properties=device.description=Dock"});
    }
    // The sink our one stream plays into, as the server sees it.
    std::string streamSink() {
        std::istringstream inputs(pactl({"list", "short", "sink-inputs"}));
        std::string input, sinkIndex;
        if (!(inputs >> input >> sinkIndex)) {
            return "(no stream)";
        }
        std::istringstream sinks(pactl({"list", "short", "sinks"}));
        for (std::string line; std::getline(sinks, line);) {
            std::istringstream fields(line);
            std::string index, name;
            if (fields >> index >> name && index == sinkIndex) {
                return name;
            }
        }
        return "(unknown sink)";
    }
};

TEST(SdlAudio, ChosenDeviceFallsBackToTheDefaultWhileGoneAndIsUsedAgainWhenBack) {
    if (!std::filesystem::exists("/usr/bin/pulseaudio")) {
        GTEST_SKIP() << "no PulseAudio server program";
    }
    TwoSinkServer pulse;
    ASSERT_TRUE(pulse.up());
    LogCapture log;
    Mixer m;
    const auto dockListed = [&] {
        const auto now = m.output.deviceNames();
        return std::find(now.begin(), now.end(), "Dock") != now.end();
    };
    ASSERT_TRUE(dockListed());
    m.output.setPreferredDevice("Dock");
    m.engine.setIdleSuspend(200ms);
    ASSERT_TRUE(m.engine.start());
    EXPECT_EQ(m.output.openedDevice(), "Dock");
    EXPECT_EQ(pulse.streamSink(), "Dock");

    const auto reopen = [&] {
        EXPECT_TRUE(waitFor([&] { return m.engine.outputSuspended(); }));
        m.engine.noteActivity();
        EXPECT_TRUE(waitFor([&] { return !m.engine.outputSuspended(); }));
    };
    pulse.unplugDock();
    ASSERT_TRUE(waitFor([&] { return !dockListed(); }));
    reopen();
    EXPECT_EQ(m.output.openedDevice(), "");
    EXPECT_EQ(pulse.streamSink(), "Desk"); // the server's default: the first sink
    reopen();                              // still gone: no second line
    EXPECT_EQ(log.count("Output device 'Dock' is not available"), 1u);

    pulse.plugDock();
    ASSERT_TRUE(waitFor(dockListed));
    reopen();
    EXPECT_EQ(m.output.openedDevice(), "Dock");
    EXPECT_EQ(pulse.streamSink(), "Dock");
    EXPECT_EQ(log.count("Output device 'Dock' is back"), 1u);
    m.engine.stop();
}

// The latency the server states for this process's stream, played at the
// period the output was made with; a pid without a stream, a server that is
// gone and one that never was are each a clear no, within the time asked.
TEST(SdlAudio, ServerStatesTheLatencyOfThisProcessStreamAtTheChosenPeriod) {
    const auto noAnswer = [](pid_t pid, const char* reason) {
        std::string error;
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_FALSE(platform::queryPulseStreamLatency(pid, 300ms, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_LT(std::chrono::steady_clock::now() - begun, 1s);
    };
    {
        ScopedEnv nowhere("PULSE_SERVER", "unix:/nonexistent/clavio-pulse");
        noAnswer(getpid(), "no PulseAudio server");
    }
    if (!std::filesystem::exists("/usr/bin/pulseaudio")) {
        GTEST_SKIP() << "no PulseAudio server program";
    }
    TwoSinkServer pulse;
    ASSERT_TRUE(pulse.up());
    noAnswer(getpid(), "plays no stream of process");
    platform::SndfileDecoder decoder;
    platform::SdlAudioOutput output(512);
    LatencyProbeOutput probe(output);
    TCAAudioEngine engine(decoder, probe);
    ASSERT_TRUE(engine.start());
    EXPECT_EQ(probe.started().bufferFrames, 512u);
    ASSERT_TRUE(waitFor([&] { return probe.cycles() >= 20; }));
    std::string error;
    const auto stated = platform::queryPulseStreamLatency(getpid(), 2s, error);
    ASSERT_TRUE(stated) << error;
    EXPECT_EQ(stated->sink, "Desk");
    EXPECT_NE(stated->server.find("pulseaudio"), std::string::npos) << stated->server;
    EXPECT_GT(stated->totalMs(), 0.0);
    EXPECT_LT(stated->totalMs(), 1000.0);
    noAnswer(getppid(), "plays no stream of process");
    engine.stop();
    pulse.server.reset();
    noAnswer(getpid(), "no PulseAudio server");
}

namespace {

// The capture thread's blocks, appended into preallocated storage.
struct Captured {
    std::vector<float> samples = std::vector<float>(48000 * 8);
    std::vector<std::uint64_t> ticks = std::vector<std::uint64_t>(4096); // each block's first
    std::vector<std::uint64_t> arrived = std::vector<std::uint64_t>(4096); // handed over at
    std::atomic<std::uint32_t> filled{0};
    std::atomic<std::uint32_t> blocks{0};

    static void onBlock(void* context, const float* samples, std::uint32_t count, double,
                        std::uint64_t firstTicks) noexcept {
        auto* self = static_cast<Captured*>(context);
        const std::uint32_t at = self->filled.load(), block = self->blocks.load();
        if (at + count <= self->samples.size() && block < self->ticks.size()) {
            std::memcpy(&self->samples[at], samples, count * sizeof(float));
            self->ticks[block] = firstTicks;
            self->arrived[block] = hostTicks();
            self->blocks.store(block + 1);
            self->filled.store(at + count);
        }
    }
};

std::string bytesOf(const std::vector<float>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

} // namespace

TEST(SdlMicrophone, DiskDriverHandsOverTheFileInMonoBlocksAndFailuresAreOneLine) {
    TempDir dir;
    std::vector<float> ramp(4000);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = -0.5f + float(i) / 4000.0f;
    }
    writeFile(dir / "in.raw", bytesOf(ramp));
    ScopedEnv in("SDL_DISKAUDIOFILEIN", (dir / "in.raw").string());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "2");
    ScopedEnv server("PULSE_SERVER", "unix:" + (dir / "none").string());
    Captured got;
    platform::SdlMicrophone mic;
    {
        ScopedEnv driver("SDL_AUDIODRIVER", "disk");
        const std::uint64_t before = hostTicks();
        const auto start = mic.start("", 0.005, &Captured::onBlock, &got);
        ASSERT_TRUE(start.started) << start.error;
        EXPECT_EQ(start.sampleRate, 48000.0); // the disk driver has no rate of its own
        EXPECT_EQ(mic.blockFrames(), 256u);
        ASSERT_TRUE(waitFor([&] { return got.filled.load() >= ramp.size(); }));
        mic.stop();
        const std::uint32_t blocks = got.blocks.load(), filled = got.filled.load();
        EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), got.samples.begin()));
        for (std::uint32_t b = 0; b < blocks; ++b) { // a block's span before the start at most
            EXPECT_TRUE(got.ticks[b] + 6'000'000 > before && got.ticks[b] < hostTicks()) << b;
            EXPECT_TRUE(b == 0 || got.ticks[b] > got.ticks[b - 1]) << b;
            // Its last sample was captured before the block was handed over.
            EXPECT_LE(got.ticks[b] + 255 * 1'000'000'000ull / 48000, got.arrived[b]) << b;
        }
        usleep(20'000);
        EXPECT_EQ(got.filled.load(), filled) << "a block after stop() returned";
    }
    const std::pair<const char*, const char*> failures[] = {
        {"pulseaudio", "microphone not started: the sound system cannot be reached"},
        {"disk", "microphone not started: no capture device named 'Desk'"}};
    for (const auto& [driver, says] : failures) {
        ScopedEnv chosen("SDL_AUDIODRIVER", driver);
        const auto start = mic.start(*driver == 'd' ? "Desk" : "", 0.005, &Captured::onBlock, &got);
        EXPECT_FALSE(start.started);
        EXPECT_EQ(start.error.rfind(says, 0), 0u) << start.error;
        EXPECT_EQ(start.error.find('\n'), std::string::npos);
    }
}

TEST(SdlMicrophone, AMonitorByNameHearsAPlayedClickAndItsLossIsNoticed) {
    if (!std::filesystem::exists("/usr/bin/pulseaudio")) {
        GTEST_SKIP() << "no PulseAudio server program";
    }
    TwoSinkServer pulse;
    ASSERT_TRUE(pulse.up());
    // SDL lists no monitors: a source remapped from the dock's monitor hears it.
    pulse.pactl({"load-module", "module-remap-source", "master=Dock.monitor",
                 "source_properties=device.description=DockMic"});
    platform::SdlMicrophone mic;
    const auto names = mic.deviceNames();
    ASSERT_NE(std::find(names.begin(), names.end(), "DockMic"), names.end());
    Captured got;
    const auto start = mic.start("DockMic", 0.005, &Captured::onBlock, &got);
    ASSERT_TRUE(start.started) << start.error;
    EXPECT_EQ(start.sampleRate, 48000.0);
    ASSERT_TRUE(waitFor([&] { return got.blocks.load() > 4; }));

    // 48 stereo frames at 0.5 (exact in the sink's 16 bits) amid silence.
    std::vector<float> click(4800 * 2, 0.0f);
    std::fill(click.begin() + 2000, click.begin() + 2096, 0.5f);
    writeFile(pulse.dir / "click.raw", bytesOf(click));
    const std::uint64_t played = hostTicks();
    ASSERT_EQ(runProgram("/usr/bin/pacat", {"--raw", "--format=float32le", "--rate=48000",
                                            "--channels=2", "-d", "Dock",
                                            (pulse.dir / "click.raw").string()})
                  .status,
              0);
    ASSERT_TRUE(waitFor([&] { return got.filled.load() > 0 && got.samples[got.filled - 1] == 0.0f; }));
    const auto onset = std::find(got.samples.begin(), got.samples.begin() + got.filled, 0.5f);
    ASSERT_NE(onset, got.samples.begin() + got.filled) << "the click was not heard";
    const auto at = std::uint32_t(onset - got.samples.begin());
    EXPECT_EQ(std::count(onset, onset + 60, 0.5f), 48);
    // The click's tick: after pacat began, before now.
    const std::uint64_t tick = got.ticks[at / 256] + std::uint64_t(at % 256) * 1'000'000'000 / 48000;
    EXPECT_TRUE(tick > played && tick < hostTicks()) << double(tick - played) / 1e6 << " ms";

    EXPECT_FALSE(mic.lost());
    pulse.unplugDock();
    EXPECT_TRUE(waitFor([&] { return mic.lost(); }));
    mic.stop();
}

// Idle cost: with the default settings nothing captures; the microphone is
// opened while it is the strike source and released when it no longer is.
TEST(SdlMicrophone, OpenedOnlyWhileTheMicrophoneIsTheStrikeSource) {
    if (!std::filesystem::exists("/usr/bin/pulseaudio")) {
        GTEST_SKIP() << "no PulseAudio server program";
    }
    TwoSinkServer pulse;
    ASSERT_TRUE(pulse.up());
    const auto capturing = [&] { return !pulse.pactl({"list", "short", "source-outputs"}).empty(); };
    platform::SdlMicrophone mic;
    CoordinatorRig rig(RigOptions{.microphone = &mic});
    ToccaCoordinator& coordinator = rig.launch();
    rig.run(100ms);
    ASSERT_TRUE(coordinator.isRunning());
    EXPECT_FALSE(capturing()) << "the default settings opened a capture device";
    for (const auto source : {VelocitySource::microphone, VelocitySource::automatic}) {
        rig.settings().setVelocitySource(source);
        rig.run(100ms);
        const bool wanted = source == VelocitySource::microphone;
        EXPECT_TRUE(waitFor([&] { return capturing() == wanted; })) << name(source);
    }
    coordinator.stop();
}
