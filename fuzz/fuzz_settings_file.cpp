// The settings file through the application's own path: the input becomes
// $XDG_CONFIG_HOME/Clavio/settings.json of a scratch home, is loaded, changed
// and saved.
// Properties: no crash or sanitizer report on any text; load() gives exactly
// what decodeSettings gives, or every default with the file remembered as
// unreadable (never a mix); a decode refusal is one line starting with its
// JSON path; what loads survives encode -> decode bit for bit; the save
// after a change writes a file that loads back to the values in memory and,
// for an unreadable file, keeps the user's bytes unchanged beside it.
//
// fuzz-max-len: 4096
// fuzz-dict: json.dict
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/settings/tocca_settings.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;
namespace fs = std::filesystem;

namespace {

template <class T> auto bits(T x) {
    return std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(x);
}

// Bit-for-bit equality: a float that reads back as another float with the
// same == value (-0 for 0) would still be a lossy writer.
bool sameBits(const SettingsValues& a, const SettingsValues& b) {
    return a == b && bits(a.masterVolume) == bits(b.masterVolume) &&
           bits(a.searchPreMs) == bits(b.searchPreMs) &&
           bits(a.searchPostMs) == bits(b.searchPostMs) &&
           bits(a.baselineWindowMs) == bits(b.baselineWindowMs) &&
           bits(a.highpassAlpha) == bits(b.highpassAlpha) && bits(a.deadzone) == bits(b.deadzone) &&
           bits(a.hardCap) == bits(b.hardCap) && bits(a.compressGamma) == bits(b.compressGamma) &&
           bits(a.softThreshold) == bits(b.softThreshold) &&
           bits(a.mediumThreshold) == bits(b.mediumThreshold) &&
           bits(a.hardThreshold) == bits(b.hardThreshold) &&
           bits(a.slamThreshold) == bits(b.slamThreshold) &&
           bits(a.pitchVariation) == bits(b.pitchVariation) &&
           bits(a.gainVariation) == bits(b.gainVariation) &&
           bits(a.crossfadeWidth) == bits(b.crossfadeWidth) &&
           bits(a.minInterKeyGapMs) == bits(b.minInterKeyGapMs);
}

struct ScratchHome {
    fuzz::ScratchDir dir;
    fs::path folder = dir.path() / "Clavio";
    fs::path file = folder / "settings.json";

    ScratchHome() {
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        setenv("HOME", dir.path().c_str(), 1);
        fs::create_directories(folder);
    }
    // Leaves the folder empty for the next input.
    void clear() {
        for (const auto& entry : fs::directory_iterator(folder)) {
            fs::remove(entry.path());
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchHome home;
    const std::string text(reinterpret_cast<const char*>(data), size);
    home.clear();
    fuzz::writeWholeFile(home.file, data, size);

    const auto decoded = decodeSettings(text);
    ToccaSettings settings = ToccaSettings::load();
    if (decoded) {
        CLAVIO_FUZZ_CHECK(sameBits(settings.values(), *decoded));
        CLAVIO_FUZZ_CHECK(!settings.hasUnreadableFile());
        std::string encoded;
        std::string error;
        CLAVIO_FUZZ_CHECK(encodeSettings(*decoded, encoded, error));
        const auto again = decodeSettings(encoded);
        CLAVIO_FUZZ_CHECK(again.ok());
        CLAVIO_FUZZ_CHECK(sameBits(*again, *decoded));
    } else {
        CLAVIO_FUZZ_CHECK(fuzz::isOneLine(decoded.error().text()));
        CLAVIO_FUZZ_CHECK(decoded.error().path.rfind("$", 0) == 0);
        CLAVIO_FUZZ_CHECK(sameBits(settings.values(), SettingsValues{}));
        CLAVIO_FUZZ_CHECK(settings.hasUnreadableFile());
    }

    // A change the user makes, then the save every change triggers.
    settings.setSoundEnabled(!settings.soundEnabled());
    const SettingsValues inMemory = settings.values();
    const bool unreadable = settings.hasUnreadableFile();
    // Loaded values are finite, so only the disk could refuse.
    CLAVIO_FUZZ_CHECK(settings.save());
    CLAVIO_FUZZ_CHECK(sameBits(ToccaSettings::load().values(), inMemory));
    if (unreadable) {
        CLAVIO_FUZZ_CHECK(fuzz::readWholeFile(home.file.string() + ".unreadable") == text);
    }
    return 0;
}
