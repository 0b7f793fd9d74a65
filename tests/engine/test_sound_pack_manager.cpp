#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include <sys/stat.h>

#include "engine/packs/localized_compare.h"
#include "engine/packs/sound_pack_manager.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::ScopedXdgHome;
using clavio::testing::TempDir;
using clavio::testing::writeFile;
namespace fs = std::filesystem;

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
};

} // namespace

TEST(SoundPackManager, SortsByDisplayNameCaseInsensitivelyAndStably) {
    Catalogue c;
    c.pack(c.bundled(), "Foo", manifest("Zebra"));
    c.pack(c.bundled(), "Bar", manifest("alpha pack"));
    // Equal display names (up to case) keep discovery order: bundled first.
    c.pack(c.bundled(), "Second", manifest("Middle"));
    c.pack(c.user(), "First", manifest("middle"));
    SoundPackManager m(c.bundled());
    EXPECT_EQ(m.availablePacks(), (std::vector<std::string>{"Bar", "Second", "First", "Foo"}));
    EXPECT_EQ(m.displayName("Foo"), "Zebra");
    EXPECT_EQ(m.displayName("Unknown"), "Unknown");
}

TEST(SoundPackManager, PackInBothSearchPathsIsListedOnceWithFirstDecodableName) {
    Catalogue c;
    c.pack(c.bundled(), "Dup", manifest("Bundled Dup"));
    c.pack(c.user(), "Dup", manifest("User Dup"));
    c.pack(c.bundled(), "Broken", "{not json");
    c.pack(c.user(), "Broken", manifest("Fixed by user"));
    SoundPackManager m(c.bundled());
    EXPECT_EQ(m.availablePacks(), (std::vector<std::string>{"Dup", "Broken"}));
    EXPECT_EQ(m.displayName("Dup"), "Bundled Dup");
    EXPECT_EQ(m.displayName("Broken"), "Fixed by user");
    auto loaded = m.loadPack("Broken");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->name, "Fixed by user");
    EXPECT_EQ(m.currentPackPath(), c.user() / "Broken");
    EXPECT_EQ(m.packFolder("Broken"), c.bundled() / "Broken");
}

TEST(SoundPackManager, SkipsFilesFoldersWithoutManifestAndListsUndecodableByFolderName) {
    Catalogue c;
    writeFile(c.user() / "Plain", "I am a file");
    fs::create_directories(c.user() / "Empty");
    c.pack(c.user(), ".Hidden", manifest("Hidden"));
    c.pack(c.user(), "Garbled", "\xFF\xFE garbage");
    c.pack(c.user(), "WrongType", R"({"name":1,"author":"a","license":"l","groups":{}})");
    SoundPackManager m(std::nullopt);
    auto packs = m.availablePacks();
    std::sort(packs.begin(), packs.end());
    EXPECT_EQ(packs, (std::vector<std::string>{".Hidden", "Garbled", "WrongType"}));
    EXPECT_EQ(m.displayName("Garbled"), "Garbled");
    EXPECT_FALSE(m.loadPack("Garbled"));
    EXPECT_FALSE(m.loadPack("WrongType"));
    EXPECT_FALSE(m.currentManifest());
    EXPECT_FALSE(m.currentPackPath());
}

TEST(SoundPackManager, HugeOrSpecialManifestsAreListedButNeverLoaded) {
    Catalogue c;
    const std::string big = manifest("Big");
    c.pack(c.user(), "Huge",
           big.substr(0, big.size() - 1) + std::string(kMaxManifestBytes, ' ') + "}");
    fs::create_directories(c.user() / "Fifo");
    ASSERT_EQ(mkfifo((c.user() / "Fifo" / "pack.json").c_str(), 0600), 0);
    fs::create_directories(c.user() / "Folder" / "pack.json");
    SoundPackManager m(std::nullopt); // must not block on the FIFO
    auto packs = m.availablePacks();
    std::sort(packs.begin(), packs.end());
    EXPECT_EQ(packs, (std::vector<std::string>{"Fifo", "Folder", "Huge"}));
    EXPECT_EQ(m.displayName("Huge"), "Huge");
    for (const auto& name : packs) {
        EXPECT_FALSE(m.loadPack(name)) << name;
    }
}

TEST(SoundPackManager, FailedLoadKeepsThePreviousPack) {
    Catalogue c;
    c.pack(c.user(), "Good", manifest("Good"));
    SoundPackManager m(std::nullopt);
    ASSERT_TRUE(m.loadPack("Good"));
    EXPECT_FALSE(m.loadPack("Missing"));
    for (const char* bad : {"", ".", "..", "../Clavio/SoundPacks/Good", "Good/"}) {
        EXPECT_FALSE(m.loadPack(bad)) << bad;
    }
    EXPECT_FALSE(m.loadPack(std::string("Good\0x", 6)));
    ASSERT_TRUE(m.currentManifest());
    EXPECT_EQ(m.currentManifest()->name, "Good");
    EXPECT_EQ(m.currentPackPath(), c.user() / "Good");
}

TEST(SoundPackManager, ObserversHearOfEachChangeBeforeItHappens) {
    Catalogue c;
    c.pack(c.user(), "One", manifest("One"));
    SoundPackManager m(std::nullopt);
    c.pack(c.user(), "Two", manifest("Two"));
    std::vector<std::string> seen;
    auto token = m.subscribe([&](SoundPackManager::Property p) {
        if (p == SoundPackManager::Property::availablePacks) {
            seen.push_back("packs:" + std::to_string(m.availablePacks().size()));
        } else if (p == SoundPackManager::Property::currentManifest) {
            seen.push_back(std::string("manifest:") + (m.currentManifest() ? "set" : "none"));
        } else {
            seen.push_back(std::string("path:") + (m.currentPackPath() ? "set" : "none"));
        }
    });
    m.refresh();
    m.loadPack("One");
    m.unsubscribe(token);
    m.refresh();
    EXPECT_EQ(seen, (std::vector<std::string>{"packs:1", "manifest:none", "path:none"}));
    EXPECT_EQ(m.availablePacks().size(), 2u);
}

TEST(SoundPackManager, ResolvesOnlyExistingFilesInsideTheCurrentPack) {
    Catalogue c;
    c.pack(c.user(), "P", manifest("P"));
    writeFile(c.user() / "P" / "a.wav", "x");
    writeFile(c.user() / "P" / "sub" / "b.wav", "x");
    writeFile(c.user() / "Other" / "secret.wav", "x");
    fs::create_directories(c.user() / "P" / "folder.wav");
    SoundPackManager m(std::nullopt);
    EXPECT_FALSE(m.resolveSamplePath("a.wav")) << "no current pack yet";
    ASSERT_TRUE(m.loadPack("P"));
    EXPECT_EQ(m.resolveSamplePath("a.wav"), c.user() / "P" / "a.wav");
    EXPECT_EQ(m.resolveSamplePath("sub/../sub/b.wav"), c.user() / "P" / "sub" / "b.wav");
    EXPECT_FALSE(m.resolveSamplePath("missing.wav"));
    EXPECT_FALSE(m.resolveSamplePath("folder.wav"));
    EXPECT_FALSE(m.resolveSamplePath("../Other/secret.wav"));
    EXPECT_FALSE(m.resolveSamplePath((c.user() / "Other" / "secret.wav").string()));
    EXPECT_FALSE(m.resolveSamplePath(""));

    // A link inside the pack that leads out is refused; one that stays in is fine.
    fs::create_symlink(c.user() / "Other" / "secret.wav", c.user() / "P" / "out.wav");
    fs::create_symlink("a.wav", c.user() / "P" / "in.wav");
    fs::create_directory_symlink(c.user() / "Other", c.user() / "P" / "linked");
    EXPECT_FALSE(m.resolveSamplePath("out.wav"));
    EXPECT_FALSE(m.resolveSamplePath("linked/secret.wav"));
    EXPECT_EQ(m.resolveSamplePath("in.wav"), c.user() / "P" / "in.wav");
}

TEST(SoundPackManager, RefusesToLoadAPackWithEntriesOutsideItsFolder) {
    Catalogue c;
    c.pack(c.user(), "Escape", manifest("Escape", R"(["a.wav","../../../../etc/passwd"])"));
    c.pack(c.user(), "Absolute", manifest("Absolute", R"(["/etc/passwd"])"));
    SoundPackManager m(std::nullopt);
    EXPECT_FALSE(m.loadPack("Escape"));
    EXPECT_FALSE(m.loadPack("Absolute"));
    auto read = readSoundPackManifest(c.user() / "Escape");
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().path, "$.groups.alpha.soft[1]");
    EXPECT_EQ(read.error().message,
              R"("../../../../etc/passwd" is not a file inside the pack folder)");

    // Entries holding a NUL or climbing out after a line break are named in
    // one line, escaped as in the manifest.
    c.pack(c.user(), "Nul", manifest("Nul", R"(["a\u0000.wav"])"));
    c.pack(c.user(), "Break", manifest("Break", R"(["x\n/../../b.wav"])"));
    EXPECT_EQ(readSoundPackManifest(c.user() / "Nul").error().text(),
              R"($.groups.alpha.soft[0]: "a\u0000.wav" is not a file inside the pack folder)");
    EXPECT_EQ(readSoundPackManifest(c.user() / "Break").error().text(),
              R"($.groups.alpha.soft[0]: "x\n/../../b.wav" is not a file inside the pack folder)");
}

TEST(SoundPackManager, PickSampleUsesTheRandomSourceAndTriesNoOtherEntry) {
    Catalogue c;
    c.pack(c.user(), "P", manifest("P", R"(["a.wav","missing.wav","c.wav"])"));
    writeFile(c.user() / "P" / "a.wav", "x");
    writeFile(c.user() / "P" / "c.wav", "x");
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

TEST(SoundPackManager, DefaultRandomSourceReachesEveryEntry) {
    Catalogue c;
    c.pack(c.user(), "P", manifest("P", R"(["a.wav","b.wav","c.wav"])"));
    for (const char* f : {"a.wav", "b.wav", "c.wav"}) {
        writeFile(c.user() / "P" / f, "x");
    }
    SoundPackManager m(std::nullopt);
    ASSERT_TRUE(m.loadPack("P"));
    std::set<fs::path> picked;
    for (int i = 0; i < 200; ++i) {
        picked.insert(*m.pickSample(KeyGroup::alpha, VelocityTier::soft));
    }
    EXPECT_EQ(picked.size(), 3u);
}

TEST(LocalizedCompare, FoldsCaseAcrossScriptsAndOrdersByLetters) {
    EXPECT_EQ(localizedCaseInsensitiveCompare("alpha pack", "ALPHA PACK"), 0);
    EXPECT_EQ(localizedCaseInsensitiveCompare("ÉCLAIR", "éclair"), 0);
    EXPECT_EQ(localizedCaseInsensitiveCompare("ŁÓDŹ", "łódź"), 0);
    EXPECT_EQ(localizedCaseInsensitiveCompare("ΣΙΓΜΑ", "σιγμα"), 0);
    EXPECT_EQ(localizedCaseInsensitiveCompare("ЖУК", "жук"), 0);
    EXPECT_LT(localizedCaseInsensitiveCompare("alpha pack", "Zebra"), 0);
    EXPECT_GT(localizedCaseInsensitiveCompare("zebra", "Alpha"), 0);
    EXPECT_LT(localizedCaseInsensitiveCompare("Pack", "pack 2"), 0);
    // Invalid UTF-8 orders deterministically and never equals valid text.
    EXPECT_NE(localizedCaseInsensitiveCompare("\xE9t\xE9", "été"), 0);
    EXPECT_EQ(localizedCaseInsensitiveCompare("\xE9t\xE9", "\xE9t\xE9"), 0);
}
