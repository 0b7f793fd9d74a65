// Loading and switching the default pack through the real coordinator (pack
// catalogue refresh, manifest, libsndfile decoding of every file into the
// mixer, sample maps published), beside decoding the same files alone.
//
//   BM_default_pack_load       reloadPack() with Biscuit selected
//   BM_default_pack_switch     switchPack() between Biscuit and Bluebell,
//                              alternately (includes the settings save; no
//                              fsync hook is installed here)
//   BM_reference_decode_default_pack_files
//                              every audio file of Biscuit's folder decoded
//                              by the same decoder, nothing else
//
// Counters of the reference: decoded_MB, the memory the decoded samples take
// as the mixer keeps them (32-bit float frames x channels), and files.
// Settings go to a temporary XDG folder, never the user's.
//
// ratio: BM_default_pack_load / BM_reference_decode_default_pack_files
// ratio: BM_default_pack_switch / BM_reference_decode_default_pack_files
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "engine/audio/offline_audio_output.h"
#include "engine/core/log.h"
#include "engine/pipeline/tocca_coordinator.h"
#include "engine/replay/offline_replay_ports.h"
#include "engine/runtime/virtual_time_scheduler.h"
#include "engine/settings/tocca_settings.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/desktop/resource_dir.h"

using namespace clavio;
namespace fs = std::filesystem;

namespace {

fs::path packsFolder() {
    return platform::resourceDir() / "SoundPacks";
}

// A private XDG folder for the process, so saves never touch the user's.
void useTemporaryXdg() {
    static std::string root = [] {
        char pattern[] = "/tmp/clavio-bench-packs-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
}

struct Coordinator {
    Coordinator() {
        useTemporaryXdg();
        SettingsValues values;
        values.selectedPackName = "Biscuit";
        CoordinatorServices services;
        services.queues = {&scheduler, &scheduler};
        services.devices = {std::make_shared<OfflineSensorRegistry>(false),
                            std::make_shared<OfflineKeySource>(), &decoder, &output};
        services.random = CoordinatorRandom::seeded(1);
        services.bundledPacksFolder = packsFolder();
        coordinator =
            ToccaCoordinator::create(std::make_shared<ToccaSettings>(values), std::move(services));
        scheduler.runUntil(scheduler.nowTicks());
        // What start() does first; without a sensor nothing calls it here.
        coordinator->loadCurrentPack();
    }
    ~Coordinator() {
        coordinator.reset();
        scheduler.runUntil(scheduler.nowTicks());
    }
    bool loaded() const { return coordinator && !coordinator->loadedSampleMap().empty(); }

    VirtualTimeScheduler scheduler{1'000'000'000};
    platform::SndfileDecoder decoder;
    OfflineAudioOutput output;
    std::shared_ptr<ToccaCoordinator> coordinator;
};

void BM_default_pack_load(benchmark::State& state) {
    const LogSink previous = setLogSink([](std::string_view) {});
    Coordinator c;
    if (!c.loaded()) {
        state.SkipWithError("Biscuit did not load");
    }
    for (auto _ : state) {
        c.coordinator->reloadPack();
        c.scheduler.runUntil(c.scheduler.nowTicks());
    }
    if (!c.loaded()) {
        state.SkipWithError("Biscuit did not reload");
    }
    setLogSink(previous);
}
BENCHMARK(BM_default_pack_load)->Unit(benchmark::kMillisecond);

void BM_default_pack_switch(benchmark::State& state) {
    const LogSink previous = setLogSink([](std::string_view) {});
    Coordinator c;
    bool toBluebell = true;
    for (auto _ : state) {
        c.coordinator->switchPack(toBluebell ? "Bluebell" : "Biscuit");
        c.scheduler.runUntil(c.scheduler.nowTicks());
        toBluebell = !toBluebell;
    }
    if (!c.loaded()) {
        state.SkipWithError("the switches left no pack loaded");
    }
    setLogSink(previous);
}
BENCHMARK(BM_default_pack_switch)->Unit(benchmark::kMillisecond);

void BM_reference_decode_default_pack_files(benchmark::State& state) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(packsFolder() / "Biscuit")) {
        const auto ext = entry.path().extension();
        if (entry.is_regular_file() && ext != ".json") {
            files.push_back(entry.path());
        }
    }
    platform::SndfileDecoder decoder;
    double bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& file : files) {
            DecodedAudio audio;
            std::string error;
            if (!decoder.decode(file, audio, error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            bytes += double(audio.frames.size() * sizeof(float));
            benchmark::DoNotOptimize(audio.frames.data());
        }
    }
    state.counters["decoded_MB"] = bytes / (1024.0 * 1024.0);
    state.counters["files"] = double(files.size());
}
BENCHMARK(BM_reference_decode_default_pack_files)->Unit(benchmark::kMillisecond);

} // namespace
