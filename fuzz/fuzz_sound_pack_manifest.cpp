// Sound pack manifests ("pack.json"): the decoder, the catalogue's reader and
// the resolution of entries to files inside the pack folder.
// Properties: no crash or sanitizer report on any text; a refusal is one line
// starting with its JSON path; whatever decodes survives encode -> decode
// (compact and pretty) unchanged; the lookups only return entries of the
// manifest; the catalogue's reader takes exactly the decoded manifests
// without unsafe entries; an entry resolves to a file only inside the pack
// folder (the scratch pack holds a file, a subfolder, a link leading out of
// the folder and a link to itself).
// fuzz-max-len: 4096
// fuzz-dict: json.dict
// fuzz-seeds: share/clavio/SoundPacks/*/pack.json

#include "engine/packs/sound_pack_manager.h"
#include "engine/packs/sound_pack_manifest.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;
namespace fs = std::filesystem;

namespace {

struct ScratchPack {
    fuzz::ScratchDir dir;
    fs::path folder = dir.path() / "Pack";
    fs::path realFolder;

    ScratchPack() {
        fs::create_directories(folder / "sub");
        const char wav[] = "RIFF";
        fuzz::writeWholeFile(folder / "a.wav", wav, 4);
        fuzz::writeWholeFile(folder / "sub" / "b.wav", wav, 4);
        fuzz::writeWholeFile(dir.path() / "outside.wav", wav, 4);
        fs::create_symlink("../outside.wav", folder / "out.wav");
        fs::create_symlink("loop", folder / "loop");
        fs::create_symlink("..", folder / "up");
        realFolder = fs::canonical(folder);
    }
};

void checkLookups(const SoundPackManifest& manifest) {
    std::set<std::string> files;
    for (const auto& entry : manifest.allEntries()) {
        CLAVIO_FUZZ_CHECK(entry.jsonPath.rfind("$.", 0) == 0);
        files.insert(entry.file);
    }
    const auto known = [&](const auto& list) {
        return std::all_of(list.begin(), list.end(), [&](auto& f) { return files.count(f) == 1; });
    };
    for (KeyGroup group : kAllKeyGroups) {
        for (VelocityTier tier : kAllVelocityTiers) {
            const auto picked = manifest.samplesFor(group, tier);
            CLAVIO_FUZZ_CHECK(tier != VelocityTier::silent || picked.empty());
            CLAVIO_FUZZ_CHECK(known(picked));
        }
        CLAVIO_FUZZ_CHECK(known(manifest.releaseSamplesFor(group)));
    }
}

void checkResolution(const ScratchPack& pack, const SoundPackManifest& manifest) {
    for (const auto& entry : manifest.allEntries()) {
        const auto resolved = resolveSampleIn(pack.folder, entry.file);
        const bool safe = isSafeSampleEntry(entry.file);
        CLAVIO_FUZZ_CHECK(safe == (resolved.status != ResolvedSample::Status::unsafe));
        if (resolved.status != ResolvedSample::Status::ok) {
            continue;
        }
        std::error_code ec;
        const fs::path real = fs::canonical(resolved.path, ec);
        CLAVIO_FUZZ_CHECK(!ec);
        const fs::path relative = real.lexically_relative(pack.realFolder);
        CLAVIO_FUZZ_CHECK(!relative.empty() && *relative.begin() != "..");
        CLAVIO_FUZZ_CHECK(fs::is_regular_file(real));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchPack pack;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = decodeSoundPackManifest(text);

    fuzz::writeWholeFile(pack.folder / "pack.json", data, size);
    const auto read = readSoundPackManifest(pack.folder);
    if (!decoded) {
        fuzz::checkRefusal(decoded.error());
        CLAVIO_FUZZ_CHECK(!read.ok());
        return 0;
    }
    CLAVIO_FUZZ_CHECK(read.ok() == decoded->unsafeEntries().empty());
    if (read.ok()) {
        CLAVIO_FUZZ_CHECK(*read == *decoded);
    } else {
        CLAVIO_FUZZ_CHECK(fuzz::isOneLine(read.error().text()));
    }

    for (const bool pretty : {false, true}) {
        const std::string encoded = encodeSoundPackManifest(*decoded, pretty);
        const auto again = decodeSoundPackManifest(encoded);
        CLAVIO_FUZZ_CHECK(again.ok() && *again == *decoded);
    }
    checkLookups(*decoded);
    checkResolution(pack, *decoded);
    return 0;
}
