// The one rule for written files: final mode from the start, never looser
// than the file replaced; "keep" never replaces a file or folder that is
// there when the move happens.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "engine/core/atomic_file.h"
#include "platform/linux/system/safe_file.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {
mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}
} // namespace

TEST(SafeFile, ModesAreFinalFromTheStartAndKeepReplacesNothing) {
    TempDir dir;
    const mode_t umaskBefore = ::umask(022);
    writeFile(dir / "strict", "old");
    ::chmod((dir / "strict").c_str(), 0640);
    writeFile(dir / "readonly", "old");
    ::chmod((dir / "readonly").c_str(), 0444);
    const std::tuple<const char*, FileSecrecy, mode_t> cases[] = {
        {"new", FileSecrecy::shared, 0644},
        {"keys", FileSecrecy::keyCodes, 0600},
        {"strict", FileSecrecy::shared, 0640},
        {"readonly", FileSecrecy::shared, 0644}}; // others no looser; the owner writes
    for (const auto& [name, secrecy, mode] : cases) {
        SafeFile file;
        ASSERT_FALSE(file.open(dir / name, secrecy, ExistingFile::replace));
        EXPECT_EQ(modeOf(file.tempPath()), mode) << name;
        ASSERT_FALSE(file.write("data", 4));
        ASSERT_FALSE(file.commit());
        EXPECT_EQ(modeOf(dir / name), mode) << name;
    }
    // The engine's stream (settings, presets) through the same rule: it
    // reopens its temporary file, which must stay writable for the owner.
    ::chmod((dir / "readonly").c_str(), 0444);
    installSafeFileWrites();
    {
        AtomicFileStream settings(dir / "readonly", FileSecrecy::shared, ExistingFile::replace);
        settings.stream() << "new";
        EXPECT_FALSE(settings.commit());
    }
    EXPECT_EQ(readFile(dir / "readonly"), "new");
    ::umask(umaskBefore);

    SafeFile late;
    ASSERT_FALSE(late.open(dir / "late", FileSecrecy::shared, ExistingFile::keep));
    writeFile(dir / "late", "made meanwhile");
    EXPECT_TRUE(late.commit());
    EXPECT_EQ(readFile(dir / "late"), "made meanwhile");

    fs::path temp;
    fs::create_directory(dir / "pack");
    ASSERT_FALSE(createTempFolderBeside(dir / "pack", temp));
    writeFile(temp / "pack.json", "{}");
    EXPECT_TRUE(placeFolder(temp, dir / "pack")) << "an empty folder is not replaced either";
    ASSERT_FALSE(placeFolder(temp, dir / "pack2"));
    EXPECT_EQ(readFile(dir / "pack2" / "pack.json"), "{}");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 7);
}
