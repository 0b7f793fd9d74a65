#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

#include "engine/packs/localized_compare.h"
#include "engine/packs/sound_pack_manager.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

std::string manifest(const std::string& name, const std::string& alphaSoft = R"(["a.wav"])") {
    return R"({"name":")" + name + R"(","author":"T","license":"CC0","groups":{"alpha":{"soft":)" +
           alphaSoft + "}}}";
}

struct Catalogue {
    ScopedXdgHome home;
    TempDir bundle;
    fs::path bundled() const { return bundle.path() / "SoundPacks"; }
    fs::path user() const { return home.dataHome() / "Clavio" / "SoundPacks"; }
    void pack(const fs::path& base, const std::string& folder, const std::string& json) const {
        writeFile(base / folder / "pack.json", json);
    }
    // A pack in the user folder with these sound files.
    void packWith(const std::string& folder, const std::string& entries, const Names& files) const {
        pack(user(), folder, manifest(folder, entries));
        for (const auto& f : files) {
            writeFile(user() / folder / f, "x");
        }
    }
};

Names sorted(Names v) {
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

TEST(SoundPackManager, ListsEachFolderOnceSortedByTheFirstDecodableDisplayName) {
    Catalogue c;
    c.pack(c.bundled(), "Foo", manifest("Zebra"));
    c.pack(c.bundled(), "Bar", manifest("alpha pack"));
    // Equal display names (up to case) keep discovery order: bundled first.
    c.pack(c.bundled(), "Second", manifest("Middle"));
    c.pack(c.user(), "First", manifest("middle"));
    c.pack(c.bundled(), "Dup", manifest("Bundled Dup"));
    c.pack(c.user(), "Dup", manifest("User Dup"));
    c.pack(c.bundled(), "Broken", "{not json");
    c.pack(c.user(), "Broken", manifest("Fixed by user"));
    SoundPackManager m(c.bundled());
    EXPECT_EQ(m.availablePacks(), (Names{"Bar", "Dup", "Broken", "Second", "First", "Foo"}));
    EXPECT_EQ(m.displayName("Dup"), "Bundled Dup");
    EXPECT_EQ(m.displayName("Unknown"), "Unknown");
    ASSERT_TRUE(m.loadPack("Broken"));
    EXPECT_EQ(m.currentManifest()->name, "Fixed by user");
    EXPECT_EQ(m.currentPackPath(), c.user() / "Broken");
    EXPECT_EQ(m.packFolder("Broken"), c.bundled() / "Broken");
}

TEST(SoundPackManager, UndecodableHugeOrSpecialManifestsAreListedByFolderButNeverLoaded) {
    Catalogue c;
    writeFile(c.user() / "Plain", "I am a file");
    fs::create_directories(c.user() / "Empty");
    c.pack(c.user(), "Garbled", "\xFF\xFE garbage");
    c.pack(c.user(), "WrongType", R"({"name":1,"author":"a","license":"l","groups":{}})");
    const std::string big = manifest("Big");
    c.pack(c.user(), "Huge",
           big.substr(0, big.size() - 1) + std::string(kMaxManifestBytes, ' ') + "}");
    fs::create_directories(c.user() / "Fifo");
    ASSERT_EQ(mkfifo((c.user() / "Fifo" / "pack.json").c_str(), 0600), 0);
    fs::create_directories(c.user() / "Folder" / "pack.json");
    SoundPackManager m(std::nullopt); // must not block on the FIFO
    const auto packs = sorted(m.availablePacks());
    EXPECT_EQ(packs, (Names{"Fifo", "Folder", "Garbled", "Huge", "WrongType"}));
    EXPECT_EQ(m.displayName("Huge"), "Huge");
    for (const auto& name : packs) {
        EXPECT_FALSE(m.loadPack(name)) << name;
    }
    EXPECT_FALSE(m.currentManifest() || m.currentPackPath());
}

TEST(SoundPackManager, FailedLoadKeepsThePreviousPackAndObserversHearBeforeEachChange) {
    Catalogue c;
    c.pack(c.user(), "Good", manifest("Good"));
    SoundPackManager m(std::nullopt);
    c.pack(c.user(), "Two", manifest("Two"));
    Names seen;
    const auto token = m.subscribe([&](SoundPackManager::Property p) {
        if (p == SoundPackManager::Property::availablePacks) {
            seen.push_back("packs:" + std::to_string(m.availablePacks().size()));
        } else if (p == SoundPackManager::Property::currentManifest) {
            seen.push_back(m.currentManifest() ? "manifest" : "no manifest");
        } else {
            seen.push_back(m.currentPackPath() ? "path" : "no path");
        }
    });
    m.refresh();
    ASSERT_TRUE(m.loadPack("Good"));
    m.unsubscribe(token);
    EXPECT_EQ(seen, (Names{"packs:1", "no manifest", "no path"}));
    for (const auto& bad : Names{"Missing", "", ".", "..", "../Clavio/SoundPacks/Good", "Good/",
                                  std::string("Good\0x", 6)}) {
        EXPECT_FALSE(m.loadPack(bad)) << bad;
    }
    EXPECT_EQ(m.currentManifest()->name, "Good");
    EXPECT_EQ(m.currentPackPath(), c.user() / "Good");
}

TEST(SoundPackManager, ResolvesOnlyExistingFilesInsideTheCurrentPack) {
    Catalogue c;
    c.packWith("P", R"(["a.wav"])", {"a.wav", "sub/b.wav"});
    writeFile(c.user() / "Other" / "secret.wav", "x");
    fs::create_directories(c.user() / "P" / "folder.wav");
    SoundPackManager m(std::nullopt);
    EXPECT_FALSE(m.resolveSamplePath("a.wav")) << "no current pack yet";
    ASSERT_TRUE(m.loadPack("P"));
    EXPECT_EQ(m.resolveSamplePath("a.wav"), c.user() / "P" / "a.wav");
    EXPECT_EQ(m.resolveSamplePath("sub/../sub/b.wav"), c.user() / "P" / "sub" / "b.wav");
    // A link inside the pack that leads out is refused; one that stays in is fine.
    fs::create_symlink(c.user() / "Other" / "secret.wav", c.user() / "P" / "out.wav");
    fs::create_symlink("a.wav", c.user() / "P" / "in.wav");
    fs::create_directory_symlink(c.user() / "Other", c.user() / "P" / "linked");
    EXPECT_EQ(m.resolveSamplePath("in.wav"), c.user() / "P" / "in.wav");
    for (const auto& refused : Names{"missing.wav", "folder.wav", "../Other/secret.wav",
                                      (c.user() / "Other" / "secret.wav").string(), "",
                                      "out.wav", "linked/secret.wav"}) {
        EXPECT_FALSE(m.resolveSamplePath(refused)) << refused;
    }
}

TEST(SoundPackManager, RefusesToLoadAPackWithEntriesOutsideItsFolderNamingThemInOneLine) {
    Catalogue c;
    c.pack(c.user(), "Escape", manifest("Escape", R"(["a.wav","../../../../etc/passwd"])"));
    c.pack(c.user(), "Absolute", manifest("Absolute", R"(["/etc/passwd"])"));
    SoundPackManager m(std::nullopt);
    EXPECT_FALSE(m.loadPack("Escape"));
    EXPECT_FALSE(m.loadPack("Absolute"));
    EXPECT_EQ(readSoundPackManifest(c.user() / "Escape").error().text(),
              R"($.groups.alpha.soft[1]: "../../../../etc/passwd" is not a file inside the )"
              R"(pack folder)");
    // Entries holding a NUL or climbing out after a line break stay escaped.
    c.pack(c.user(), "Nul", manifest("Nul", R"(["a\u0000.wav"])"));
    c.pack(c.user(), "Break", manifest("Break", R"(["x\n/../../b.wav"])"));
    EXPECT_EQ(readSoundPackManifest(c.user() / "Nul").error().text(),
              R"($.groups.alpha.soft[0]: "a\u0000.wav" is not a file inside the pack folder)");
    EXPECT_EQ(readSoundPackManifest(c.user() / "Break").error().text(),
              R"($.groups.alpha.soft[0]: "x\n/../../b.wav" is not a file inside the pack folder)");
}

TEST(SoundPackManager, PickSampleDrawsOneEntryAndTriesNoOther) {
    Catalogue c;
    c.packWith("P", R"(["a.wav","missing.wav","c.wav"])", {"a.wav", "c.wav"});
    std::size_t next = 0;
    std::vector<std::size_t> counts;
    SoundPackManager m(std::nullopt, [&](std::size_t count) {
        counts.push_back(count);
        return next;
    });
    EXPECT_FALSE(m.pickSample(KeyGroup::alpha, VelocityTier::soft)) << "no current manifest";
    ASSERT_TRUE(m.loadPack("P"));
    next = 2;
    EXPECT_EQ(m.pickSample(KeyGroup::space, VelocityTier::hard), c.user() / "P" / "c.wav");
    next = 1;
    EXPECT_FALSE(m.pickSample(KeyGroup::alpha, VelocityTier::soft));
    EXPECT_FALSE(m.pickSample(KeyGroup::alpha, VelocityTier::silent));
    EXPECT_EQ(counts, (std::vector<std::size_t>{3, 3}));
}

TEST(LocalizedCompare, FoldsCaseAcrossScriptsAndOrdersByLetters) {
    for (const auto& [a, b] : std::vector<std::pair<const char*, const char*>>{
             {"alpha pack", "ALPHA PACK"}, {"ÉCLAIR", "éclair"}, {"ŁÓDŹ", "łódź"},
             {"ΣΙΓΜΑ", "σιγμα"}, {"ЖУК", "жук"}, {"\xE9t\xE9", "\xE9t\xE9"}}) {
        EXPECT_EQ(localizedCaseInsensitiveCompare(a, b), 0) << a;
    }
    EXPECT_LT(localizedCaseInsensitiveCompare("alpha pack", "Zebra"), 0);
    EXPECT_GT(localizedCaseInsensitiveCompare("zebra", "Alpha"), 0);
    EXPECT_LT(localizedCaseInsensitiveCompare("Pack", "pack 2"), 0);
    // Invalid UTF-8 orders deterministically and never equals valid text.
    EXPECT_NE(localizedCaseInsensitiveCompare("\xE9t\xE9", "été"), 0);
}
