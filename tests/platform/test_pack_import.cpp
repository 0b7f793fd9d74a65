// Importing packs of other formats: which key's sound lands in which group,
// the made velocity layers, audio formats, zip attacks and bad packs, each
// refused with one line and leaving the pack folder as it was.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <complex>
#include <map>
#include <set>
#include <iostream>
#include <numbers>

#include "engine/packs/sound_pack_manager.h"
#include "platform/linux/audio/sndfile_decoder.h"
#include "platform/linux/packs/pack_installer.h"
#include "platform/linux/packs/safe_zip.h"
#include "tests/support/audio_analysis.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

// A key click: a decaying tone at `hz` over a short noise burst.
std::vector<float> click(double hz, int rate, int channels, double ms = 120) {
    std::vector<float> out;
    unsigned noise = 12345;
    for (int i = 0; i < int(ms * rate / 1000); ++i) {
        const double t = double(i) / rate;
        noise = noise * 1103515245u + 12345u;
        const double n = (double(noise >> 8 & 0xFFFF) / 32768.0 - 1.0) * std::exp(-t * 500);
        const float v = float(0.4 * std::exp(-t * 30) * std::sin(2 * std::numbers::pi * hz * t) +
                              0.2 * n);
        out.insert(out.end(), std::size_t(channels), v);
    }
    return out;
}

void writeAudio(const fs::path& path, const std::vector<float>& frames, int rate = 48000,
                int channels = 1, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
    fs::create_directories(path.parent_path());
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_writef_float(f, frames.data(), sf_count_t(frames.size() / channels));
    sf_close(f);
}

DecodedAudio decode(const fs::path& path) {
    DecodedAudio audio;
    std::string error;
    EXPECT_TRUE(platform::SndfileDecoder().decode(path, audio, error)) << error;
    return audio;
}

// The candidate frequency with the most energy in the file's first channel.
double dominantOf(const fs::path& path, const std::vector<double>& candidates) {
    const auto audio = decode(path);
    double best = 0, bestPower = -1;
    for (double hz : candidates) {
        std::complex<double> sum;
        for (std::size_t i = 0; i < audio.frameCount; ++i) {
            sum += double(audio.frames[i * audio.channelCount]) *
                   std::polar(1.0, -2 * std::numbers::pi * hz * double(i) / audio.sampleRate);
        }
        if (std::abs(sum) > bestPower) {
            bestPower = std::abs(sum);
            best = hz;
        }
    }
    return best;
}

std::set<std::string> listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        names.insert(fs::relative(e.path(), folder).string());
    }
    return names;
}

DecodeResult<platform::PackInstallResult> install(const fs::path& source, const fs::path& into,
                                                  bool replace = false) {
    return platform::installForeignPack({source, "", into, replace, std::nullopt});
}

// A "single" pack: one tone per key, sliced from one file, in key order.
struct SheetPack {
    std::vector<std::pair<std::string, double>> keys; // key code, tone
    float level = 1.0f;
    void write(const fs::path& dir, const std::string& extra = "") const {
        fs::create_directories(dir);
        std::vector<float> sheet;
        std::string defines;
        for (const auto& [code, hz] : keys) {
            const double startMs = double(sheet.size()) / 48.0;
            auto tone = click(hz, 48000, 1);
            for (float& v : tone) v *= level;
            sheet.insert(sheet.end(), tone.begin(), tone.end());
            defines += "\"" + code + "\":[" + std::to_string(startMs) + ",120],";
        }
        writeAudio(dir / "sound.wav", sheet);
        writeFile(dir / "config.json", R"({"name":"Sheet","id":"s","key_define_type":"single",
            "includes_numpad":false,"sound":"sound.wav","defines":{)" +
                                           defines + extra + R"("999":null}})");
    }
};

} // namespace

TEST(PackImport, EveryKeysSliceLandsInItsKeysGroup) {
    TempDir dir;
    // A, Space, Enter, Backspace, left Shift, Up (extended), F1, keypad Enter (extended).
    const SheetPack pack{{{"30", 400}, {"57", 600}, {"28", 800}, {"14", 1000}, {"42", 1200},
                          {"57416", 1400}, {"59", 1600}, {"57372", 1800}}};
    pack.write(dir / "src");
    const auto result = install(dir / "src", dir / "packs");
    ASSERT_TRUE(result.ok()) << result.error();
    const std::vector<double> tones = {400, 600, 800, 1000, 1200, 1400, 1600, 1800};
    const std::map<std::string, std::set<double>> expected = {
        {"alpha", {400}}, {"space", {600}},    {"enter", {800, 1800}}, {"delete", {1000}},
        {"modifier", {1200}}, {"arrow", {1400}}, {"function", {1600}}};
    const auto& groups = result->summary.manifest.groups;
    ASSERT_EQ(groups.size(), expected.size());
    for (const auto& [group, want] : expected) {
        for (const auto& files : {groups.at(group).soft, groups.at(group).hard}) {
            std::set<double> got;
            for (const auto& f : files.value()) {
                got.insert(dominantOf(result->folder / f, tones));
            }
            EXPECT_EQ(got, want) << group;
        }
    }
    EXPECT_EQ(readSoundPackManifest(result->folder).value(), result->summary.manifest);
}

TEST(PackImport, MultiPacksAndScanCodeFoldersKeepPressAndReleaseAndSayWhatWasLeftOut) {
    TempDir dir;
    // Different formats, rates and channel counts; each plays at its own rate.
    writeAudio(dir / "m" / "a.ogg", click(500, 44100, 2), 44100, 2, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    writeAudio(dir / "m" / "s.mp3", click(700, 44100, 1), 44100, 1,
               SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    writeAudio(dir / "m" / "up.flac", click(900, 96000, 1), 96000, 1,
               SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::string defines;
    for (int code : {16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 30, 31, 32, 33, 34, 35, 36, 37, 38, 44,
                     45, 46, 47, 48, 49, 50}) { // 26 alpha keys with distinct files
        const std::string f = "k" + std::to_string(code) + ".wav";
        writeAudio(dir / "m" / f, click(300 + code, 48000, 1));
        defines += "\"" + std::to_string(code) + "\":\"" + f + "\",";
    }
    writeFile(dir / "m" / "config.json",
              R"({"name":"Multi","key_define_type":"multi","sound":"a.ogg","soundup":"up.flac",
              "defines":{)" + defines + R"("30":"a.ogg","57":"s.mp3","28":null,"200":"a.ogg"}})");
    auto multi = install(dir / "m", dir / "packs");
    ASSERT_TRUE(multi.ok()) << multi.error();
    const auto& m = multi->summary.manifest;
    EXPECT_EQ(m.groups.at("alpha").hard->size(), 16u);
    const auto space = decode(multi->folder / m.groups.at("space").slam->front());
    EXPECT_EQ(space.sampleRate, 44100.0);
    EXPECT_EQ(decode(multi->folder / m.groups.at("alpha").hard->front()).channelCount, 1u);
    const auto a = decode(multi->folder / m.groups.at("alpha").hard->at(10)); // key 30: a.ogg
    EXPECT_EQ(a.channelCount, 2u);
    EXPECT_EQ(a.sampleRate, 44100.0);
    EXPECT_EQ(m.release->at("alpha").size(), 1u);
    EXPECT_EQ(decode(multi->folder / m.release->at("alpha").front()).sampleRate, 96000.0);
    const std::string lines = [&] {
        std::string all;
        for (const auto& l : platform::describeInstall(*multi)) all += l + "\n";
        return all;
    }();
    for (const char* want : {"1 keys defined as null", "key code 200 (0xC8): no such key",
                             "alpha: 26 distinct sounds, the first 16 kept (10 left out)",
                             "enter: none", "release: alpha 1"}) {
        EXPECT_NE(lines.find(want), std::string::npos) << want << "\n" << lines;
    }

    // Scan-code folder: A and Space with press and release, Up has no hex name.
    for (const char* f : {"1e-1.wav", "1e-0.wav", "39-1.wav", "39-0.wav", "readme.wav"}) {
        writeAudio(dir / "sc" / f, click(f[1] == 'e' ? 500 : 700, 48000, 2), 48000, 2);
    }
    auto scan = install(dir / "sc", dir / "packs");
    ASSERT_TRUE(scan.ok()) << scan.error();
    EXPECT_EQ(scan->summary.manifest.name, "sc");
    EXPECT_EQ(scan->summary.manifest.groups.size(), 2u);
    EXPECT_EQ(scan->summary.manifest.release->size(), 2u);
    EXPECT_EQ(dominantOf(scan->folder / scan->summary.manifest.release->at("space")[0], {500, 700}),
              700);
    EXPECT_EQ(decode(scan->folder / scan->summary.manifest.release->at("space")[0]).channelCount,
              2u);
}

TEST(PackImport, MadeLayersRiseInLevelAndBrightness) {
    TempDir dir;
    SheetPack{{{"30", 300}, {"57", 900}}, 1.6f}.write(dir / "src"); // hotter than the built-ins
    const auto result = install(dir / "src", dir / "packs");
    ASSERT_TRUE(result.ok()) << result.error();
    std::cout << "group     layer   peak dBFS  centroid Hz\n";
    double loudestHard = -1e9;
    for (const auto& [group, samples] : result->summary.manifest.groups) {
        double lastPeak = -1e9, lastCentroid = 0;
        for (auto tier : {VelocityTier::soft, VelocityTier::medium, VelocityTier::hard,
                          VelocityTier::slam}) {
            const auto audio = decode(result->folder / samples.member(tier)->front());
            const auto mono = toMono(audio.frames, audio.channelCount);
            const double p = peakDbfs(mono), c = spectralCentroidHz(mono, audio.sampleRate);
            std::printf("%-9s %-7s %9.2f  %11.0f\n", group.c_str(), name(tier).data(), p, c);
            EXPECT_GT(p, lastPeak + 1.0) << group << " " << name(tier);
            EXPECT_GT(c, lastCentroid * 1.05) << group << " " << name(tier);
            lastPeak = p;
            lastCentroid = c;
            loudestHard = tier == VelocityTier::hard ? std::max(loudestHard, p) : loudestHard;
        }
    }
    EXPECT_NEAR(loudestHard, -6.02, 0.1); // the built-in packs' hard level
}

TEST(PackImport, BadPacksAreRefusedWithOneLineAndLeaveThePackFolderAsItWas) {
    TempDir dir;
    const fs::path packs = dir / "packs";
    SheetPack{{{"30", 300}}}.write(dir / "Sheet");
    ASSERT_TRUE(install(dir / "Sheet", packs).ok());
    const auto before = listing(packs);
    const std::string head = R"({"name":"X","key_define_type":")";
    std::string thousands;
    for (int i = 0; i < 1100; ++i) thousands += "\"" + std::to_string(i) + "\":null,";
    writeAudio(dir / "good.wav", click(400, 48000, 1));
    writeAudio(dir / "long.wav", std::vector<float>(21 * 8000, 0.1f), 8000); // over 20 s
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"name\": ", "config.json: $: "},
        {head + R"(single","sound":"s.wav","defines":[]})", "$.defines: expected an object"},
        {head + R"(multi","defines":{"30":5}})", "$.defines[\"30\"]: expected a file name or null"},
        {head + R"(single","sound":"good.wav","defines":{"30":[100,50]}})",
         "key code 30: the slice [100, 50] ms ends beyond good.wav"},
        {head + R"(multi","defines":{"30":"good.wav","57":"gone.wav"}})",
         "gone.wav: no such file in the pack"},
        {head + R"(multi","defines":{"30":"good.wav","57":"../good.wav"}})",
         "\"../good.wav\" is not a file name inside the pack folder"},
        {head + R"(multi","defines":{"30":"good.wav","57":"bad.wav"}})", "does not decode"},
        {head + R"(multi","defines":{"30":"good.wav","57":"long.wav"}})", "long.wav: 21.0 s long"},
        {head + R"(single","sound":"long.wav","defines":{"30":[0,20500]}})",
         "key code 30: the slice lasts 20500 ms"},
        {head + R"(multi","defines":{)" + thousands + R"("1":null}})", "1100 keys defined"},
        {head + R"(multi","defines":{"300":"good.wav"}})", "no key of the pack has a sound"},
        {R"({"name":"Sheet","key_define_type":"single","sound":"good.wav","defines":{"30":[0,50]}})",
         "a pack folder \"Sheet\" already exists in"},
    };
    for (const auto& [config, error] : cases) {
        TempDir src;
        fs::copy_file(dir / "good.wav", src / "good.wav");
        fs::copy_file(dir / "long.wav", src / "long.wav");
        writeFile(src / "bad.wav", "RIFF\x10\x00\x00\x00WAVEjunk");
        writeFile(src / "config.json", config);
        const auto result = install(src.path(), packs);
        ASSERT_FALSE(result.ok()) << config.substr(0, 80);
        EXPECT_NE(result.error().text().find(error), std::string::npos) << result.error();
        EXPECT_EQ(result.error().text().find('\n'), std::string::npos);
        EXPECT_EQ(listing(packs), before) << error;
    }
    // Same folder name: refused, then replaced whole when asked.
    SheetPack{{{"30", 300}, {"57", 600}}}.write(dir / "again" / "Sheet");
    EXPECT_NE(install(dir / "again" / "Sheet", packs).error().text().find("use --force"),
              std::string::npos);
    EXPECT_EQ(listing(packs), before);
    const auto replaced = install(dir / "again" / "Sheet", packs, true);
    ASSERT_TRUE(replaced.ok()) << replaced.error();
    EXPECT_TRUE(replaced->replaced);
    EXPECT_EQ(replaced->summary.manifest.groups.size(), 2u);
    EXPECT_EQ(listing(packs).size(), before.size() + 4); // four space layers, nothing stray
}

namespace {
struct ZipEntry {
    ZipEntry(std::string n, std::string d, unsigned t = AE_IFREG, std::string l = {})
        : name(std::move(n)), data(std::move(d)), type(t), link(std::move(l)) {}
    std::string name;
    std::string data;
    unsigned type;
    std::string link; // symlink target
};

void writeZip(const fs::path& zip, const std::vector<ZipEntry>& entries) {
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    ASSERT_EQ(archive_write_open_filename(a, zip.c_str()), ARCHIVE_OK);
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, la_int64_t(e.data.size()));
        if (e.type == AE_IFLNK) archive_entry_set_symlink(entry, e.link.c_str());
        archive_write_header(a, entry);
        archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
}
} // namespace

TEST(PackImport, ZipsUnpackOnlyInsideTheirFolderAndHostileOnesAreRefused) {
    TempDir dir;
    SheetPack{{{"30", 300}}}.write(dir / "src");
    const std::string config = readFile(dir / "src" / "config.json");
    const std::string sound = readFile(dir / "src" / "sound.wav");
    writeZip(dir / "good.zip", {{"Pack/", "", AE_IFDIR}, {"Pack/config.json", config},
                                {"Pack/sound.wav", sound}});
    const auto good = install(dir / "good.zip", dir / "packs");
    ASSERT_TRUE(good.ok()) << good.error();
    EXPECT_EQ(good->summary.manifest.name, "Sheet");
    const auto before = listing(dir / "packs");

    const std::vector<std::pair<std::vector<ZipEntry>, std::string>> attacks = {
        {{{"/tmp/evil.wav", "x"}}, "is absolute or climbs out"},
        {{{"a/../../evil.wav", "x"}}, "is absolute or climbs out"},
        {{{"link.wav", "", AE_IFLNK, "/etc/passwd"}}, "is a link"},
        {{{"big.bin", std::string(3000, 'z')}}, "unpacks to more than"},
        {{{"1", "x"}, {"2/", "", AE_IFDIR}, {"3", "x"}, {"4", "x"}}, "more than 3 entries"},
        {{{"a.wav", "x"}, {"a.wav", "y"}}, "File exists"},
        {{{"1/2/3/4/5/6/7/8/9.wav", "x"}}, "folders deep"},
    };
    for (const auto& [entries, error] : attacks) {
        SCOPED_TRACE(entries.back().name);
        TempDir out;
        writeZip(dir / "bad.zip", entries);
        const auto refused = platform::unpackZip(dir / "bad.zip", out.path(), {2048, 3});
        ASSERT_TRUE(refused.has_value()) << error << " " << entries.back().name;
        EXPECT_NE(refused->find(error), std::string::npos) << *refused;
        EXPECT_FALSE(fs::exists("/tmp/evil.wav"));
        for (const auto& e : fs::recursive_directory_iterator(out.path())) {
            EXPECT_FALSE(e.is_symlink()) << e.path();
        }
    }
    // Through the installer: refused, and the pack folder holds no leftovers.
    writeZip(dir / "bad.zip", {{"config.json", config}, {"../sound.wav", sound}});
    EXPECT_FALSE(install(dir / "bad.zip", dir / "packs").ok());
    writeFile(dir / "junk.zip", "PK\x03\x04 not really");
    EXPECT_FALSE(install(dir / "junk.zip", dir / "packs").ok());
    EXPECT_EQ(listing(dir / "packs"), before);
}
