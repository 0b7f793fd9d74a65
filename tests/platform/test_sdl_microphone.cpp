// The SDL microphone on real capture paths: SDL's disk driver reading a file,
// and a private PulseAudio server whose pipe source plays the samples a test
// writes into its FIFO.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/ports/clock.h"
#include "platform/linux/audio/sdl_microphone.h"
#include "tests/support/child_process.h"
#include "tests/support/coordinator_rig.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;

namespace {

// What the capture thread handed over, in preallocated storage.
struct Captured {
    std::vector<float> samples = std::vector<float>(48000 * 8);
    std::vector<std::uint64_t> blockTicks = std::vector<std::uint64_t>(4096);
    std::vector<std::uint32_t> blockStart = std::vector<std::uint32_t>(4096);
    std::atomic<std::uint32_t> filled{0};
    std::atomic<std::uint32_t> blocks{0};
    double rate = 0.0;

    static void onBlock(void* context, const float* samples, std::uint32_t count, double rate,
                        std::uint64_t firstTicks) noexcept {
        auto* self = static_cast<Captured*>(context);
        const std::uint32_t at = self->filled.load(std::memory_order_relaxed);
        const std::uint32_t block = self->blocks.load(std::memory_order_relaxed);
        if (at + count > self->samples.size() || block >= self->blockTicks.size()) {
            return;
        }
        std::memcpy(self->samples.data() + at, samples, count * sizeof(float));
        self->blockTicks[block] = firstTicks;
        self->blockStart[block] = at;
        self->rate = rate;
        self->blocks.store(block + 1, std::memory_order_release);
        self->filled.store(at + count, std::memory_order_release);
    }
    // The tick of sample `i` as the blocks' stamps place it.
    std::uint64_t tickOf(std::uint32_t i) const {
        std::uint32_t b = 0;
        while (b + 1 < blocks.load() && blockStart[b + 1] <= i) {
            ++b;
        }
        return blockTicks[b] + std::uint64_t(double(i - blockStart[b]) / rate * 1e9);
    }
    // The first sample at or above `level`; -1 when none.
    long find(float level) const {
        for (std::uint32_t i = 0; i < filled.load(); ++i) {
            if (samples[i] >= level) {
                return long(i);
            }
        }
        return -1;
    }
};

std::string floats(const std::vector<float>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
}

// 1000 frames of silence, a 48-frame click at 0.5, then a ramp that makes
// every later sample distinct.
std::vector<float> clickSignal() {
    std::vector<float> signal(1000, 0.0f);
    signal.insert(signal.end(), 48, 0.5f);
    for (int i = 0; i < 3000; ++i) {
        signal.push_back(-0.25f + float(i) / 12000.0f);
    }
    return signal;
}

} // namespace

TEST(SdlMicrophone, DiskDriverDeliversTheFileInMonoBlocksStampedOnTheKeyClock) {
    TempDir dir;
    const auto signal = clickSignal();
    writeFile(dir / "in.raw", floats(signal));
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv in("SDL_DISKAUDIOFILEIN", (dir / "in.raw").string());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "2");
    Captured got;
    platform::SdlMicrophone mic;
    const std::uint64_t before = hostTicks();
    const auto start = mic.start("", 0.005, &Captured::onBlock, &got);
    ASSERT_TRUE(start.started) << start.error;
    EXPECT_EQ(start.sampleRate, 48000.0); // the disk driver reports no rate of its own
    EXPECT_EQ(mic.blockFrames(), 256u);
    ASSERT_TRUE(waitFor([&] { return got.filled.load() >= signal.size(); }));
    mic.stop();
    const std::uint64_t after = hostTicks();
    const std::uint32_t blocks = got.blocks.load();
    EXPECT_FALSE(mic.lost());

    for (std::size_t i = 0; i < signal.size(); ++i) {
        ASSERT_EQ(got.samples[i], signal[i]) << "sample " << i;
    }
    for (std::uint32_t b = 0; b < blocks; ++b) {
        SCOPED_TRACE(b);
        EXPECT_EQ(got.blockStart[b], 256u * b);
        EXPECT_GE(got.blockTicks[b] + 6'000'000, before); // a block's span before the start at most
        EXPECT_LE(got.blockTicks[b], after);
        if (b > 0) {
            EXPECT_GT(got.blockTicks[b], got.blockTicks[b - 1]);
        }
    }
    // Nothing arrives after stop() returned.
    const auto filled = got.filled.load();
    usleep(30'000);
    EXPECT_EQ(got.filled.load(), filled);
}

TEST(SdlMicrophone, StartFailuresAreOneLineAndLeaveNothingOpen) {
    TempDir dir;
    ScopedEnv home("HOME", (dir / "home").string());
    ScopedEnv runtime("XDG_RUNTIME_DIR", (dir / "xdg").string());
    ScopedEnv server("PULSE_SERVER", "unix:" + (dir / "nothing-here").string());
    Captured got;
    const struct {
        const char* driver;
        const char* device;
        const char* says;
    } cases[] = {
        {"pulseaudio", "", "the sound system cannot be reached"},
        {"disk", "Desk Mic", "no capture device named 'Desk Mic'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driver);
        ScopedEnv driver("SDL_AUDIODRIVER", c.driver);
        platform::SdlMicrophone mic;
        const auto start = mic.start(c.device, 0.005, &Captured::onBlock, &got);
        EXPECT_FALSE(start.started);
        EXPECT_NE(start.error.find(c.says), std::string::npos) << start.error;
        EXPECT_EQ(start.error.find('\n'), std::string::npos);
        EXPECT_FALSE(mic.lost());
        mic.stop();
    }
    EXPECT_EQ(got.blocks.load(), 0u);
}

// A private PulseAudio server with a null sink and a pipe source "Desk Mic"
// at 44100 Hz. A pipe source delivers only what is written into its FIFO, so
// a feeder thread writes 10 ms of silence every 10 ms, as a microphone would
// deliver, with a click in one of them when asked.
struct MicServer {
    TempDir dir;
    ScopedEnv home{"HOME", (dir.path() / "home").string()};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", (dir.path() / "xdg").string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir.path() / "home" / ".config").string()};
    ScopedEnv driver{"SDL_AUDIODRIVER", "pulseaudio"};
    std::optional<ChildProcess> server;
    int fifo = -1;
    std::thread feeder;
    std::atomic<bool> feeding{false};
    std::atomic<bool> clickWanted{false};
    std::atomic<std::uint64_t> clickTicks{0}; // when the click was written

    ~MicServer() { stopFeeding(); }
    std::string pactl(std::vector<std::string> args) {
        return runProgram("/usr/bin/pactl", args, 5.0).output;
    }
    bool up() {
        std::filesystem::create_directories(dir.path() / "xdg");
        std::filesystem::permissions(dir.path() / "xdg", std::filesystem::perms::owner_all);
        server.emplace("/usr/bin/pulseaudio",
                       std::vector<std::string>{"--daemonize=no", "--exit-idle-time=-1", "-n",
                                                "--use-pid-file=no",
                                                "--load=module-native-protocol-unix",
                                                "--load=module-null-sink sink_name=ci_sink"});
        if (!waitFor([&] { return runProgram("/usr/bin/pactl", {"info"}, 2.0).status == 0; })) {
            return false;
        }
        const auto path = (dir.path() / "mic.fifo").string();
        pactl({"load-module", "module-pipe-source", "source_name=desk_mic", "file=" + path,
               "format=float32le", "rate=44100", "channels=1",
               "source_properties='device.description=\"Desk Mic\"'"});
        fifo = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fifo < 0) {
            return false;
        }
        feeding = true;
        feeder = std::thread([this] {
            std::vector<float> chunk(441);
            auto next = std::chrono::steady_clock::now();
            while (feeding.load()) {
                const bool click = clickWanted.exchange(false);
                std::fill(chunk.begin(), chunk.end(), 0.0f);
                if (click) {
                    std::fill(chunk.begin() + 100, chunk.begin() + 148, 0.5f);
                    clickTicks = hostTicks();
                }
                (void)!write(fifo, chunk.data(), chunk.size() * sizeof(float));
                next += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(next);
            }
        });
        return true;
    }
    void stopFeeding() {
        feeding = false;
        if (feeder.joinable()) {
            feeder.join();
        }
        if (fifo >= 0) {
            close(fifo);
            fifo = -1;
        }
    }
    void unplug() {
        stopFeeding();
        const std::string modules = pactl({"list", "short", "modules"});
        const auto line = modules.rfind('\n', modules.find("module-pipe-source"));
        pactl({"unload-module", std::to_string(std::stoi(modules.substr(line + 1)))});
    }
};

TEST(SdlMicrophone, PulseSourceByNameAtItsOwnRateHearsAClickAndNoticesItsLoss) {
    if (!std::filesystem::exists("/usr/bin/pulseaudio")) {
        GTEST_SKIP() << "no PulseAudio server program (/usr/bin/pulseaudio)";
    }
    MicServer pulse;
    if (!pulse.up()) {
        GTEST_SKIP() << "the private PulseAudio server did not start";
    }
    platform::SdlMicrophone mic;
    const auto names = mic.deviceNames();
    ASSERT_NE(std::find(names.begin(), names.end(), "Desk Mic"), names.end());

    Captured got;
    const auto start = mic.start("Desk Mic", 0.005, &Captured::onBlock, &got);
    ASSERT_TRUE(start.started) << start.error;
    EXPECT_EQ(start.sampleRate, 44100.0);
    EXPECT_EQ(start.deviceName, "Desk Mic");
    EXPECT_EQ(mic.blockFrames(), 256u);
    ASSERT_TRUE(waitFor([&] { return got.blocks.load() > 4; }));

    pulse.clickWanted = true;
    ASSERT_TRUE(waitFor([&] { return got.find(0.4f) >= 0; }, 3.0));
    const long at = got.find(0.4f);
    ASSERT_TRUE(waitFor([&] { return got.filled.load() >= std::uint32_t(at + 200); }));
    for (long i = at; i < at + 60; ++i) {
        EXPECT_EQ(got.samples[i], i < at + 48 ? 0.5f : 0.0f) << "sample " << i - at;
    }
    // Stamped within the block's span of when it was written; not in the future.
    const double offsetMs =
        (double(got.tickOf(std::uint32_t(at))) - double(pulse.clickTicks.load())) / 1e6;
    EXPECT_GT(offsetMs, -10.0);
    EXPECT_LT(offsetMs, 50.0);
    EXPECT_FALSE(mic.lost());

    pulse.unplug();
    EXPECT_TRUE(waitFor([&] { return mic.lost(); }));
    mic.stop();
    EXPECT_FALSE(mic.start("Desk Mic", 0.005, &Captured::onBlock, &got).started);
    EXPECT_FALSE(mic.lost()) << "a failed start forgets the lost device";
}


// Idle cost: with the default settings nothing captures; the microphone is
// opened while it is the strike source and released when it no longer is.
TEST(SdlMicrophone, OpenedOnlyWhileTheMicrophoneIsTheStrikeSource) {
    if (!std::filesystem::exists("/usr/bin/pulseaudio")) {
        GTEST_SKIP() << "no PulseAudio server program (/usr/bin/pulseaudio)";
    }
    MicServer pulse;
    if (!pulse.up()) {
        GTEST_SKIP() << "the private PulseAudio server did not start";
    }
    const auto capturing = [&] { return !pulse.pactl({"list", "short", "source-outputs"}).empty(); };
    platform::SdlMicrophone mic;
    RigOptions options;
    options.microphone = &mic;
    CoordinatorRig rig(options);
    ToccaCoordinator& coordinator = rig.launch();
    rig.run(std::chrono::milliseconds(100));
    ASSERT_TRUE(coordinator.isRunning());
    EXPECT_FALSE(capturing()) << "the default settings opened a capture device";
    for (const auto source : {VelocitySource::microphone, VelocitySource::automatic}) {
        rig.settings().setVelocitySource(source);
        rig.run(std::chrono::milliseconds(100));
        const bool wanted = source == VelocitySource::microphone;
        EXPECT_TRUE(waitFor([&] { return capturing() == wanted; })) << name(source);
    }
    coordinator.stop();
}
