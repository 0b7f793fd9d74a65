// Foreign pack manifests ("config.json") and the import that follows them.
// Properties: no crash or sanitizer report on any text; a refusal is one line
// starting with its JSON path; a decoded config holds at most the define
// limit, in scan-code order, with finite slices of positive length or a file
// per key; importing it from a scratch folder (one short sound and one
// undecodable file) either fails with one line or gives a manifest with no
// unsafe entry, four equal layers per group, and exactly the files written.
// fuzz-max-len: 8192
// fuzz-dict: json.dict

#include <sndfile.h>

#include <cmath>

#include "engine/keyboard/key_groups.h"
#include "engine/packs/pack_import.h"
#include "fuzz/support/fuzz_support.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/input/evdev_keymap.h"

using namespace clavio;
namespace fs = std::filesystem;

namespace {

struct ScratchSource {
    fuzz::ScratchDir dir;
    ScratchSource() {
        SF_INFO info{};
        info.samplerate = 8000;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open((dir.path() / "sound.wav").c_str(), SFM_WRITE, &info);
        std::vector<float> tone(8000);
        for (std::size_t i = 0; i < tone.size(); ++i) {
            tone[i] = float(0.5 * std::sin(double(i) * 0.3));
        }
        sf_writef_float(f, tone.data(), sf_count_t(tone.size()));
        sf_close(f);
        const char junk[] = "RIFF\x10\0\0\0WAVEjunk";
        fuzz::writeWholeFile(dir.path() / "bad.wav", junk, sizeof junk - 1);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ScratchSource source;
    static const platform::SndfileDecoder decoder;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = decodeMechvibesConfig(text);
    if (!decoded) {
        fuzz::checkRefusal(decoded.error());
        return 0;
    }
    const auto& defines = decoded->defines;
    CLAVIO_FUZZ_CHECK(defines.size() + decoded->nullDefines <= kMaxForeignDefines);
    for (std::size_t i = 0; i < defines.size(); ++i) {
        const auto& d = defines[i];
        CLAVIO_FUZZ_CHECK(i == 0 || defines[i - 1].scanCode < d.scanCode);
        CLAVIO_FUZZ_CHECK(d.file.has_value() == decoded->multi);
        CLAVIO_FUZZ_CHECK(decoded->multi ||
                          (std::isfinite(d.startMs) && d.startMs >= 0 && d.durationMs > 0));
    }

    fuzz::writeWholeFile(source.dir.path() / "config.json", data, size);
    std::size_t written = 0;
    PackImportPorts ports;
    ports.decoder = &decoder;
    ports.groupOf = [](std::uint16_t evdev) {
        return keyGroupForKeyCode(platform::evdevToVirtualKeyCode(evdev));
    };
    ports.writeAudio = [&](const std::string& file, const DecodedAudio& audio) {
        CLAVIO_FUZZ_CHECK(isSafeSampleEntry(file) && file.find('/') == std::string::npos);
        CLAVIO_FUZZ_CHECK(audio.frameCount > 0 &&
                          audio.frames.size() == audio.frameCount * audio.channelCount);
        ++written;
        return std::optional<std::string>{};
    };
    const auto imported = importForeignPack(source.dir.path(), {}, ports);
    if (!imported) {
        CLAVIO_FUZZ_CHECK(fuzz::isOneLine(imported.error().text()));
        return 0;
    }
    const auto& manifest = imported->manifest;
    CLAVIO_FUZZ_CHECK(manifest.unsafeEntries().empty());
    CLAVIO_FUZZ_CHECK(manifest.allEntries().size() == written);
    CLAVIO_FUZZ_CHECK(imported->filesWritten == written);
    for (const auto& [group, samples] : manifest.groups) {
        CLAVIO_FUZZ_CHECK(samples.soft && samples.medium && samples.hard && samples.slam);
        CLAVIO_FUZZ_CHECK(samples.soft->size() == samples.slam->size() &&
                          samples.soft->size() <= PackImportOptions{}.maxVariants);
    }
    return 0;
}
