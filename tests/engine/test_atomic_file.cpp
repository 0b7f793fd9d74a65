#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/core/atomic_file.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::readFile;
using clavio::testing::TempDir;

TEST(AtomicFile, ReplacesContentsAndLeavesNoTemporaryFiles) {
    TempDir dir;
    const auto path = dir / "settings.json";
    ASSERT_FALSE(writeFileAtomically(path, "first"));
    ASSERT_FALSE(writeFileAtomically(path, "second"));
    EXPECT_EQ(readFile(path), "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(AtomicFile, FailureInReadOnlyFolderKeepsTheOldFile) {
    if (geteuid() == 0) {
        // root ignores folder permissions; use a missing folder instead.
        TempDir dir;
        auto error = writeFileAtomically(dir / "nope" / "x.json", "data");
        ASSERT_TRUE(error);
        EXPECT_NE(error->find("x.json"), std::string::npos);
        return;
    }
    TempDir dir;
    const auto path = dir / "settings.json";
    ASSERT_FALSE(writeFileAtomically(path, "old"));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::owner_exec);
    EXPECT_TRUE(writeFileAtomically(path, "new"));
    EXPECT_EQ(readFile(path), "old");
}
