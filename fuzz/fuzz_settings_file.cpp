// The settings file through the application's own path: the input becomes
// $XDG_CONFIG_HOME/Clavio/settings.json of a scratch home, is loaded, changed
// and saved.
// Properties: no crash or sanitizer report on any text; load() gives exactly
// what decodeSettings gives, or every default with the file remembered as
// unreadable (never a mix); a decode refusal is one line starting with its
// JSON path; what loads survives encode -> decode bit for bit; the save
// after a change writes a file that loads back to the values in memory and,
// for an unreadable file, keeps the user's bytes unchanged beside it.
// fuzz-max-len: 4096
// fuzz-dict: json.dict
#include "engine/settings/tocca_settings.h"
#include "fuzz/support/fuzz_support.h"

using namespace clavio;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::ScratchHome home("Clavio");
    const auto file = home.folder / "settings.json";
    const std::string text(reinterpret_cast<const char*>(data), size);
    home.clear();
    fuzz::writeWholeFile(file, data, size);

    const auto decoded = decodeSettings(text);
    ToccaSettings settings = ToccaSettings::load();
    if (decoded) {
        CLAVIO_FUZZ_CHECK(fuzz::sameBits(settings.values(), *decoded));
        CLAVIO_FUZZ_CHECK(!settings.hasUnreadableFile());
        std::string encoded;
        std::string error;
        CLAVIO_FUZZ_CHECK(encodeSettings(*decoded, encoded, error));
        const auto again = decodeSettings(encoded);
        CLAVIO_FUZZ_CHECK(again.ok() && fuzz::sameBits(*again, *decoded));
    } else {
        fuzz::checkRefusal(decoded.error());
        CLAVIO_FUZZ_CHECK(fuzz::sameBits(settings.values(), SettingsValues{}));
        CLAVIO_FUZZ_CHECK(settings.hasUnreadableFile());
    }

    // A change the user makes, then the save every change triggers.
    settings.setSoundEnabled(!settings.soundEnabled());
    const SettingsValues inMemory = settings.values();
    const bool unreadable = settings.hasUnreadableFile();
    // Loaded values are finite, so only the disk could refuse.
    CLAVIO_FUZZ_CHECK(settings.save());
    CLAVIO_FUZZ_CHECK(fuzz::sameBits(ToccaSettings::load().values(), inMemory));
    if (unreadable) {
        CLAVIO_FUZZ_CHECK(fuzz::readWholeFile(file.string() + ".unreadable") == text);
    }
    return 0;
}
