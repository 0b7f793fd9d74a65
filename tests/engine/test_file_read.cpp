#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/core/file_read.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::TempDir;
using clavio::testing::writeFile;
using Status = FileReadResult::Status;

TEST(FileRead, ReadsSmallFilesAndRefusesEverythingElseWithoutBlocking) {
    TempDir dir;
    writeFile(dir / "ok.json", std::string("{\0}", 3));
    auto ok = readFileLimited(dir / "ok.json", 3);
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.contents, std::string("{\0}", 3));

    auto large = readFileLimited(dir / "ok.json", 2);
    EXPECT_EQ(large.status, Status::tooLarge);
    EXPECT_NE(large.error.find("ok.json"), std::string::npos);
    EXPECT_TRUE(large.contents.empty());

    EXPECT_EQ(readFileLimited(dir / "missing.json", 10).status, Status::missing);
    EXPECT_EQ(readFileLimited(dir.path(), 10).status, Status::notAFile);
    // A FIFO would block a plain read until a writer came along.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(readFileLimited(dir / "fifo", 10).status, Status::notAFile);
    std::filesystem::create_symlink(dir / "ok.json", dir / "link.json");
    EXPECT_TRUE(readFileLimited(dir / "link.json", 10).ok());
    std::filesystem::create_symlink(dir / "gone.json", dir / "dangling.json");
    EXPECT_EQ(readFileLimited(dir / "dangling.json", 10).status, Status::missing);
}
