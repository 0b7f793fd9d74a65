// pack_synth: renders the built-in sound packs at build time.
//
//   pack_synth OUTPUT_FOLDER
//
// writes OUTPUT_FOLDER/<Pack>/pack.json and its 48 kHz WAV files for every
// built-in pack. The output depends only on this program (fixed seeds), so
// every build produces the same files.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine/packs/sound_pack_manifest.h"
#include "tools/pack_synth/pack_designs.h"
#include "tools/pack_synth/wav_writer.h"

using namespace clavio;
using namespace clavio::synth;
namespace fs = std::filesystem;

namespace {

constexpr std::array<VelocityTier, 4> kTiers = {VelocityTier::soft, VelocityTier::medium,
                                                VelocityTier::hard, VelocityTier::slam};

bool renderPack(const PackPlan& plan, const fs::path& outputFolder) {
    const fs::path folder = outputFolder / plan.folder;
    std::error_code ec;
    fs::remove_all(folder, ec); // no stale files from an earlier design
    fs::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "pack_synth: cannot create %s: %s\n", folder.c_str(),
                     ec.message().c_str());
        return false;
    }

    SoundPackManifest manifest;
    manifest.name = plan.name;
    manifest.author = plan.author;
    manifest.license = plan.license;
    manifest.sampleRate = static_cast<std::int64_t>(kSampleRate);
    manifest.release.emplace();

    auto write = [&](const std::string& entry, const std::vector<float>& samples) {
        const std::string error = writeWav16(folder / entry, samples, unsigned(kSampleRate));
        if (!error.empty()) {
            std::fprintf(stderr, "pack_synth: %s\n", error.c_str());
            return false;
        }
        return true;
    };

    for (std::size_t g = 0; g < plan.groups.size(); ++g) {
        const GroupPlan& group = plan.groups[g];
        KeyGroupSamples samples;
        for (std::size_t layer = 0; layer < kTiers.size(); ++layer) {
            std::vector<std::string> files;
            for (int take = 0; take < group.takesPerLayer; ++take) {
                Rng rng(plan.seed ^ std::uint32_t(g * 7919 + layer * 131 + std::size_t(take) * 17));
                const double peakDb = plan.peakDb[layer] + rng.range(-0.5, 0.5);
                const std::string entry = group.group + "/" + std::string(name(kTiers[layer])) +
                                          "_" + std::to_string(take + 1) + ".wav";
                if (!write(entry, renderPress(group.design, plan.strength[layer], peakDb, rng))) {
                    return false;
                }
                files.push_back(entry);
            }
            switch (kTiers[layer]) {
            case VelocityTier::soft:
                samples.soft = files;
                break;
            case VelocityTier::medium:
                samples.medium = files;
                break;
            case VelocityTier::hard:
                samples.hard = files;
                break;
            default:
                samples.slam = files;
                break;
            }
        }
        manifest.groups[group.group] = samples;

        std::vector<std::string> releases;
        for (int take = 0; take < group.releaseTakes; ++take) {
            Rng rng(plan.seed ^ std::uint32_t(0x5EED0000u + g * 7919 + std::size_t(take) * 17));
            const std::string entry =
                "release/" + group.group + "_" + std::to_string(take + 1) + ".wav";
            if (!write(entry, renderRelease(group.design, plan.releasePeakDb + rng.range(-0.5, 0.5),
                                            rng))) {
                return false;
            }
            releases.push_back(entry);
        }
        if (!releases.empty()) {
            (*manifest.release)[group.group] = releases;
        }
    }

    std::ofstream json(folder / "pack.json", std::ios::trunc);
    json << encodeSoundPackManifest(manifest, true) << "\n";
    json.close();
    if (!json) {
        std::fprintf(stderr, "pack_synth: cannot write %s/pack.json\n", folder.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pack_synth OUTPUT_FOLDER\n");
        return 2;
    }
    const fs::path output = argv[1];
    for (const PackPlan& plan : {biscuitPack(), bluebellPack()}) {
        if (!renderPack(plan, output)) {
            return 1;
        }
    }
    return 0;
}
