// Pack loading: the current pack's files are decoded into the mixer once and
// their indices gathered into new sample maps, which replace the old ones
// whole (SnapshotCell). Readers on the keyboard thread and the classify queue
// see the old maps, then empty maps while the pack loads, then the new maps;
// never a map being changed.
#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/log.h"
#include "engine/pipeline/tocca_coordinator_impl.h"

namespace clavio {

namespace {

constexpr std::array<VelocityTier, 4> kSampleTiers = {VelocityTier::soft, VelocityTier::medium,
                                                      VelocityTier::hard, VelocityTier::slam};

// Every file list of a manifest, in loading order (which fixes the mixer's
// indices): each group's press tiers, then its release files.
std::vector<std::vector<std::string>> fileLists(const SoundPackManifest& manifest) {
    std::vector<std::vector<std::string>> lists;
    for (KeyGroup group : kAllKeyGroups) {
        for (VelocityTier tier : kSampleTiers) {
            lists.push_back(manifest.samplesFor(group, tier));
        }
        lists.push_back(manifest.releaseSamplesFor(group));
    }
    return lists;
}

} // namespace

bool ToccaCoordinator::Impl::loadCurrentPack() {
    const std::string packName = settings->selectedPackName();
    packRefusal.reset();
    const auto previousPath = packManager->currentPackPath();
    const auto manifest = packManager->loadPack(packName);
    if (!manifest) {
        logLine("[Clavio] Could not load sound pack '" + packName + "'");
        sampleMaps.publish(std::make_unique<const SampleMaps>());
        audioEngine->unloadAll();
        return true;
    }

    // Every file decoded before the pack in use is let go, within the limits
    // of one pack: a pack over them is refused whole and the old one plays
    // on. Missing, unsafe, escaping or undecodable entries are skipped
    // silently; a file shared by several lists is decoded once.
    const auto lists = fileLists(*manifest);
    std::vector<std::pair<std::string, DecodedAudio>> decoded;
    std::map<std::string, std::size_t> position; // path -> index into `decoded`, or npos
    DecodeLimits limits;
    for (const auto& list : lists) {
        for (const std::string& file : list) {
            const auto path = packManager->resolveSamplePath(file);
            if (!path || position.contains(path->string())) {
                continue;
            }
            DecodedAudio audio;
            std::string error;
            if (!services.devices.decoder->decode(*path, audio, error, limits)) {
                if (audio.overLimit) {
                    packRefusal = "sound pack '" + packName + "' refused: " + error;
                    logLine("[Clavio] Sound pack '" + packName + "' refused: " + error +
                            (previousPath ? "; the previous pack stays" : ""));
                    if (previousPath) {
                        packManager->loadPack(previousPath->filename().string());
                    }
                    return false;
                }
                position.emplace(path->string(), std::string::npos);
                continue;
            }
            limits.maxSamples -= std::uint64_t(audio.frameCount) * audio.channelCount;
            position.emplace(path->string(), decoded.size());
            decoded.emplace_back(path->string(), std::move(audio));
        }
    }

    // Empty maps first, so that no reader picks an index of the samples the
    // unload is about to free (the mixer would refuse it anyway, or play a
    // sample of the next pack that took the same index).
    sampleMaps.publish(std::make_unique<const SampleMaps>());
    // Silences every voice and waits for the render thread to leave them
    // before the sample data is freed.
    audioEngine->unloadAll();
    std::vector<std::int32_t> mixerIndex;
    for (auto& [path, audio] : decoded) {
        mixerIndex.push_back(audioEngine->addDecodedSample(std::move(audio)));
    }
    const auto indicesOf = [&](const std::vector<std::string>& files) {
        std::vector<std::int32_t> indices;
        for (const std::string& file : files) {
            const auto path = packManager->resolveSamplePath(file);
            const auto it = path ? position.find(path->string()) : position.end();
            if (it != position.end() && it->second != std::string::npos &&
                mixerIndex[it->second] >= 0) {
                indices.push_back(mixerIndex[it->second]);
            }
        }
        return indices;
    };
    auto maps = std::make_unique<SampleMaps>();
    for (KeyGroup group : kAllKeyGroups) {
        for (VelocityTier tier : kSampleTiers) {
            auto indices = indicesOf(manifest->samplesFor(group, tier));
            if (!indices.empty()) {
                maps->press.emplace(std::string(sampleKey(group, tier)), std::move(indices));
            }
        }
        auto release = indicesOf(manifest->releaseSamplesFor(group));
        if (!release.empty()) {
            maps->release.emplace(std::string(name(group)), std::move(release));
        }
    }
    sampleMaps.publish(std::move(maps));
    return true;
}

void ToccaCoordinator::Impl::switchPack(const std::string& folderName) {
    const std::string previous = settings->selectedPackName();
    settings->setSelectedPackName(folderName);
    if (!loadCurrentPack()) {
        settings->setSelectedPackName(previous);
        return;
    }
    settings->save();
    if (folderName != previous) {
        sendEvent("pack_change", {{"old_pack", previous}, {"new_pack", folderName}});
    }
}

} // namespace clavio
