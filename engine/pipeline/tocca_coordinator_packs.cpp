// Pack loading: the current pack's files are decoded into the mixer once and
// their indices gathered into new sample maps, which replace the old ones
// whole (SnapshotCell). Readers on the keyboard thread and the classify queue
// see the old maps, then empty maps while the pack loads, then the new maps;
// never a map being changed.
#include <array>

#include "engine/core/log.h"
#include "engine/pipeline/tocca_coordinator_impl.h"

namespace clavio {

namespace {

// Appends the index of every file of `files` that resolves inside the pack
// and decodes, in order; a shared file keeps its first index (the mixer's
// path cache).
void loadFiles(const std::vector<std::string>& files, SoundPackManager& packs, AudioEngine& mixer,
               std::vector<std::int32_t>& indices) {
    for (const std::string& file : files) {
        // Missing, unsafe or escaping entries resolve to nothing: skipped
        // silently, as a missing file is.
        const auto path = packs.resolveSamplePath(file);
        if (!path) {
            continue;
        }
        const std::int32_t index = mixer.loadSample(path->string());
        if (index >= 0) {
            indices.push_back(index);
        }
    }
}

constexpr std::array<VelocityTier, 4> kSampleTiers = {VelocityTier::soft, VelocityTier::medium,
                                                      VelocityTier::hard, VelocityTier::slam};

} // namespace

void ToccaCoordinator::Impl::loadCurrentPack() {
    // Empty maps first, so that no reader picks an index of the samples the
    // unload is about to free (the mixer would refuse it anyway, or play a
    // sample of the next pack that took the same index).
    sampleMaps.publish(std::make_unique<const SampleMaps>());
    // Silences every voice and waits for the render thread to leave them
    // before the sample data is freed.
    audioEngine->unloadAll();

    const std::string packName = settings->selectedPackName();
    const auto manifest = packManager->loadPack(packName);
    if (!manifest) {
        logLine("[Clavio] Could not load sound pack '" + packName + "'");
        return;
    }

    auto maps = std::make_unique<SampleMaps>();
    for (KeyGroup group : kAllKeyGroups) {
        for (VelocityTier tier : kSampleTiers) {
            std::vector<std::int32_t> indices;
            loadFiles(manifest->samplesFor(group, tier), *packManager, *audioEngine, indices);
            if (!indices.empty()) {
                maps->press.emplace(std::string(sampleKey(group, tier)), std::move(indices));
            }
        }
        std::vector<std::int32_t> release;
        loadFiles(manifest->releaseSamplesFor(group), *packManager, *audioEngine, release);
        if (!release.empty()) {
            maps->release.emplace(std::string(name(group)), std::move(release));
        }
    }
    sampleMaps.publish(std::move(maps));
}

void ToccaCoordinator::Impl::switchPack(const std::string& folderName) {
    const std::string previous = settings->selectedPackName();
    settings->setSelectedPackName(folderName);
    settings->save();
    loadCurrentPack();
    if (folderName != previous) {
        sendEvent("pack_change", {{"old_pack", previous}, {"new_pack", folderName}});
    }
}

} // namespace clavio
