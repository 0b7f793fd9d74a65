// Atomic replacement of a file, and every way its write can fail: settings,
// presets, the defaults store and traces only need to use it.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

#include "engine/core/atomic_file.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::testing::readFile;
using clavio::testing::TempDir;
using clavio::testing::writeFile;
namespace fs = std::filesystem;

namespace {

std::size_t entries(const fs::path& folder) {
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// The process may not grow any file beyond `bytes`: write(2) then fails
// with EFBIG, also for root, as on a full disk. SIGXFSZ is ignored meanwhile.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &_previous);
        _handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = _previous;
        limit.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &_previous);
        std::signal(SIGXFSZ, _handler);
    }
    bool active = false;

private:
    rlimit _previous{};
    void (*_handler)(int) = nullptr;
};

} // namespace

TEST(AtomicFile, ReplacesContentsAndLeavesNoTemporaryFiles) {
    TempDir dir;
    const auto path = dir / "settings.json";
    ASSERT_FALSE(writeFileAtomically(path, "first"));
    ASSERT_FALSE(writeFileAtomically(path, "second"));
    EXPECT_EQ(readFile(path), "second");
    EXPECT_EQ(entries(dir.path()), 1u);
}

// Root ignores folder permissions, so the failures are made in ways that
// hold for everyone: a full disk, a missing folder, a file where the folder
// should be, a folder where the file should be and a failing flush.
TEST(AtomicFile, EveryFailureNamesThePathKeepsTheOldFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto path = dir / "settings.json";
    ASSERT_FALSE(writeFileAtomically(path, "old"));
    {
        ScopedFileSizeLimit full(0);
        ASSERT_TRUE(full.active);
        const auto error = writeFileAtomically(path, "new");
        ASSERT_TRUE(error);
        EXPECT_NE(error->find("cannot write"), std::string::npos) << *error;
    }
    setFileSyncHook([](const fs::path&) { return false; });
    const auto unsynced = writeFileAtomically(path, "new");
    setFileSyncHook(nullptr);
    ASSERT_TRUE(unsynced);
    EXPECT_NE(unsynced->find("cannot flush"), std::string::npos) << *unsynced;
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(entries(dir.path()), 1u);
    writeFile(dir / "file", "in the way");
    fs::create_directories(dir / "folder" / "x.json" / "inside");
    for (const fs::path& bad : {dir / "missing" / "x.json", dir / "file" / "x.json",
                                dir / "folder" / "x.json"}) {
        const auto error = writeFileAtomically(bad, "data");
        ASSERT_TRUE(error) << bad;
        EXPECT_NE(error->find("x.json"), std::string::npos) << *error;
    }
    EXPECT_EQ(readFile(dir / "file"), "in the way");
    EXPECT_EQ(entries(dir / "folder"), 1u);
}

TEST(AtomicFileStream, OnlyACommitPublishesAndAFailedOneLeavesTheTarget) {
    TempDir dir;
    {
        AtomicFileStream abandoned(dir / "trace.jsonl");
        abandoned.stream() << "half";
    }
    EXPECT_TRUE(fs::is_empty(dir.path())) << "not even the temporary file is left";
    fs::create_directory(dir / "occupied");
    writeFile(dir / "occupied" / "keep", "x");
    {
        AtomicFileStream file(dir / "occupied");
        file.stream() << "data";
        const auto error = file.commit();
        ASSERT_TRUE(error);
        EXPECT_NE(error->find("occupied"), std::string::npos);
    }
    EXPECT_TRUE(fs::is_directory(dir / "occupied"));
    EXPECT_EQ(entries(dir.path()), 1u);
}
