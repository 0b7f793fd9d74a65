// `clavio-cli pack-check DIR`: validates a sound pack folder before it is
// installed: the manifest (errors name the JSON path), every file it names
// (present, inside the folder, decodable), and which tiers and groups will
// fall back to others or stay silent, and the limits the application loads a
// pack within (kMaxSampleSeconds per file, kMaxPackDecodedBytes of decoded
// audio in all). Exit status 0 for a good pack, 1 for a bad one; fallbacks
// and silent tiers are reported but are not errors.
#include <iostream>
#include <map>

#include "cli/cli_commands.h"
#include "cli/printable.h"
#include "engine/packs/sound_pack_manager.h"

namespace clavio::cli {

namespace {

namespace fs = std::filesystem;

constexpr std::array<VelocityTier, 4> kLayers = {VelocityTier::soft, VelocityTier::medium,
                                                 VelocityTier::hard, VelocityTier::slam};

// The tier whose member samples(for:) answers with, or nothing.
std::optional<VelocityTier> answeringMember(const KeyGroupSamples& g, VelocityTier tier) {
    for (int t = rawValue(tier); t >= rawValue(VelocityTier::soft); --t) {
        if (g.member(static_cast<VelocityTier>(t))) {
            return static_cast<VelocityTier>(t);
        }
    }
    return std::nullopt;
}

std::string str(std::string_view s) {
    return std::string(s);
}

// One line per tier or group that does not sound with its own files.
std::vector<std::string> fallbacks(const SoundPackManifest& m) {
    std::vector<std::string> lines;
    const auto alpha = m.groups.find("alpha");
    for (KeyGroup group : kAllKeyGroups) {
        const std::string g = str(SoundPackManifest::groupName(group));
        const auto own = m.groups.find(g);
        if (own == m.groups.end()) {
            lines.push_back(alpha != m.groups.end()
                                ? "fallback: no \"" + g + "\" group; its keys use \"alpha\""
                                : "silent: no \"" + g + "\" group and no \"alpha\" group");
            continue;
        }
        for (VelocityTier tier : kLayers) {
            const std::string where = g + " " + str(name(tier));
            const auto member = answeringMember(own->second, tier);
            if (!own->second.samples(tier).empty()) {
                if (member != tier) {
                    lines.push_back("fallback: " + where + " uses the group's " +
                                    str(name(*member)) + " files");
                }
                continue;
            }
            const std::string why = member ? "its " + str(name(*member)) + " list is empty"
                                           : "it has no " + str(name(tier)) + " or lower layer";
            if (g != "alpha" && !m.samplesFor(group, tier).empty()) {
                lines.push_back("fallback: " + where + " uses \"alpha\" (" + why + ")");
            } else {
                lines.push_back("silent: " + where + " has no sound (" + why + ")");
            }
        }
    }
    if (!m.release) {
        lines.push_back("silent: no \"release\" sounds; key releases make no sound");
        return lines;
    }
    for (KeyGroup group : kAllKeyGroups) {
        const std::string g = str(SoundPackManifest::groupName(group));
        const auto own = m.release->find(g);
        if (own != m.release->end() && !own->second.empty()) {
            continue;
        }
        lines.push_back(m.releaseSamplesFor(group).empty()
                            ? "silent: release of " + g + " has no sound"
                            : "fallback: release of " + g + " uses \"alpha\"");
    }
    return lines;
}

int checkPack(const fs::path& folder, const CliServices& services) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        std::cout << "pack-check: " << printable(folder) << " is not a folder\n";
        return 1;
    }
    std::cout << "Checking " << printable(folder) << "\n";
    auto decoded = readSoundPackManifest(folder);
    if (!decoded) {
        std::cout << "error: pack.json: " << printable(decoded.error().text()) << "\n";
        std::cout << "pack-check: FAILED (the manifest does not decode)\n";
        return 1;
    }
    const SoundPackManifest& manifest = decoded.value();
    std::cout << "pack.json: \"" << printable(manifest.name) << "\" by "
              << printable(manifest.author) << " (" << printable(manifest.license) << ")";
    if (manifest.sampleRate) {
        std::cout << ", " << *manifest.sampleRate << " Hz";
    }
    std::cout << "\n";

    const AudioDecoder& decoder = services.decoder();
    std::map<std::string, std::string> problems; // file -> problem, once per file
    std::map<std::string, bool> checked;
    DecodeLimits limits; // the pack's budget, as the application loads it
    int errors = 0;
    std::size_t files = 0;
    for (const auto& entry : manifest.allEntries()) {
        if (!checked.contains(entry.file)) {
            checked[entry.file] = true;
            const auto resolved = resolveSampleIn(folder, entry.file);
            std::string problem;
            switch (resolved.status) {
            case ResolvedSample::Status::ok: {
                DecodedAudio audio;
                std::string error;
                if (!decoder.decode(resolved.path, audio, error, limits)) {
                    problem = (audio.overLimit ? "is over a limit: " : "does not decode: ") + error;
                } else {
                    ++files;
                    limits.maxSamples -= std::uint64_t(audio.frameCount) * audio.channelCount;
                    if (manifest.sampleRate && audio.sampleRate != double(*manifest.sampleRate)) {
                        std::cout << "note: " << printable(entry.file) << " is at "
                                  << audio.sampleRate << " Hz (played at its own rate)\n";
                    }
                }
                break;
            }
            case ResolvedSample::Status::unsafe:
                problem = "is not a path inside the pack folder";
                break;
            case ResolvedSample::Status::missing:
                problem = "no such file";
                break;
            case ResolvedSample::Status::notAFile:
                problem = "is not a regular file";
                break;
            case ResolvedSample::Status::outside:
                problem = "leads out of the pack folder through a symbolic link";
                break;
            }
            if (!problem.empty()) {
                problems[entry.file] = problem;
            }
        }
        if (auto it = problems.find(entry.file); it != problems.end()) {
            std::cout << "error: " << printable(entry.jsonPath) << ": \"" << printable(entry.file)
                      << "\" " << printable(it->second) << "\n";
            ++errors;
        }
    }

    for (const auto& line : fallbacks(manifest)) {
        std::cout << printable(line) << "\n";
    }
    bool anySound = false;
    for (KeyGroup g : kAllKeyGroups) {
        for (VelocityTier t : kLayers) {
            anySound = anySound || !manifest.samplesFor(g, t).empty();
        }
    }
    if (!anySound) {
        std::cout << "error: no key press makes a sound (no group lists any file)\n";
        ++errors;
    }
    if (errors > 0) {
        std::cout << "pack-check: FAILED (" << errors << (errors == 1 ? " error" : " errors")
                  << ")\n";
        return 1;
    }
    std::cout << "pack-check: OK (" << files << (files == 1 ? " file decodes" : " files decode")
              << "; " << ((kMaxPackDecodedBytes - limits.maxSamples * sizeof(float)) >> 10)
              << " KB of the pack's limit of " << (kMaxPackDecodedBytes >> 20)
              << " MB of decoded audio, files of at most " << kMaxSampleSeconds << " s)\n";
    return 0;
}

} // namespace

void registerPackCheckCommand(CLI::App& app, const CliServices& services) {
    auto* cmd = app.add_subcommand(
        "pack-check", "Validate a sound pack folder: manifest, files, fallbacks (exit 1 if bad)");
    auto folder = std::make_shared<std::string>();
    cmd->add_option("DIR", *folder, "The pack folder (holding pack.json)")->required();
    cmd->callback([folder, &services] { setExitStatus(checkPack(*folder, services)); });
}

} // namespace clavio::cli
