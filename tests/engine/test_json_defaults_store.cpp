#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "engine/settings/json_defaults_store.h"
#include "tests/support/test_support.h"

namespace clavio {
namespace {

namespace fs = std::filesystem;

TEST(JsonDefaultsStore, ValuesPersistInTheXdgConfigFolderAndOfAnotherTypeReadAsAbsent) {
    testing::ScopedXdgHome home;
    {
        JsonDefaultsStore store;
        EXPECT_EQ(store.path(), home.configHome() / "Clavio" / "defaults.json");
        EXPECT_EQ(store.integerForKey("clavio_launch_count"), 0);
        EXPECT_EQ(store.stringForKey("clavio_anon_id"), std::nullopt);
        store.setInteger("clavio_launch_count", 41);
        store.setString("clavio_anon_id", "6F1C2A8E-0000-4000-8000-00000000ABCD");
        store.setInteger("big", 9'000'000'000'000);
    }
    JsonDefaultsStore again;
    EXPECT_EQ(again.integerForKey("clavio_launch_count"), 41);
    EXPECT_EQ(again.integerForKey("big"), 9'000'000'000'000);
    EXPECT_EQ(again.stringForKey("clavio_anon_id"), "6F1C2A8E-0000-4000-8000-00000000ABCD");
    // Values of another type read as absent.
    testing::writeFile(again.path(), R"({"n":"12","s":5,"f":2.5,"neg":-3,"obj":{"a":1}})");
    JsonDefaultsStore typed;
    for (const char* key : {"n", "f", "obj"}) {
        EXPECT_EQ(typed.integerForKey(key), 0) << key;
    }
    EXPECT_EQ(typed.integerForKey("neg"), -3);
    EXPECT_EQ(typed.stringForKey("s"), std::nullopt);
}

TEST(JsonDefaultsStore, UnreadableFileIsKeptAsideOnTheFirstWriteWithOneLogLine) {
    testing::TempDir dir;
    const fs::path file = dir / "defaults.json";
    const std::string garbage = "{\"clavio_launch_count\": 12,,, oops";
    testing::writeFile(file, garbage);
    testing::writeFile(dir / "defaults.json.unreadable", "an older casualty");
    testing::LogCapture log;

    JsonDefaultsStore store(file);
    EXPECT_EQ(store.integerForKey("clavio_launch_count"), 0);
    EXPECT_EQ(testing::readFile(file), garbage) << "reading must not touch the file";
    EXPECT_EQ(log.count("defaults.json.unreadable-2"), 1u);

    store.setInteger("clavio_launch_count", 1);
    store.setInteger("clavio_launch_count", 2);
    EXPECT_EQ(testing::readFile(dir / "defaults.json.unreadable-2"), garbage);
    EXPECT_EQ(testing::readFile(dir / "defaults.json.unreadable"), "an older casualty");
    EXPECT_FALSE(fs::exists(dir / "defaults.json.unreadable-3")) << "one copy, not one per write";
    EXPECT_EQ(JsonDefaultsStore(file).integerForKey("clavio_launch_count"), 2);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(JsonDefaultsStore, DeeplyNestedFileIsKeptAsideInsteadOfCrashingTheFirstWrite) {
    // Writing the members back used to recurse once per level and overflow
    // the stack at the launch counter's first write, on every launch.
    testing::TempDir dir;
    const fs::path file = dir / "defaults.json";
    auto nested = [](int levels) {
        return R"({"clavio_launch_count":3,"x":)" + std::string(levels, '[') +
               std::string(levels, ']') + "}";
    };
    const std::string deep = nested(200000);
    testing::writeFile(file, deep);
    {
        testing::LogCapture log;
        JsonDefaultsStore store(file);
        EXPECT_EQ(store.integerForKey("clavio_launch_count"), 0);
        store.setInteger("clavio_launch_count", 1);
        EXPECT_EQ(log.count("is unreadable"), 1u);
    }
    EXPECT_EQ(testing::readFile(dir / "defaults.json.unreadable"), deep);
    EXPECT_EQ(JsonDefaultsStore(file).integerForKey("clavio_launch_count"), 1);

    // 64 levels below the root object are kept and written back whole; 65 are not.
    const std::string deepest = nested(64);
    testing::writeFile(file, deepest);
    JsonDefaultsStore store(file);
    EXPECT_EQ(store.integerForKey("clavio_launch_count"), 3);
    store.setInteger("clavio_launch_count", 4);
    EXPECT_EQ(nlohmann::json::parse(testing::readFile(file))["x"],
              nlohmann::json::parse(deepest)["x"]);
    testing::writeFile(file, nested(65));
    EXPECT_EQ(JsonDefaultsStore(file).integerForKey("clavio_launch_count"), 0);

    // Well formed but over the size cap: not parsed, one line names the cap.
    testing::writeFile(file, R"({"clavio_launch_count":3,"x":")" +
                                 std::string(kMaxDefaultsBytes, 'x') + "\"}");
    testing::LogCapture log;
    EXPECT_EQ(JsonDefaultsStore(file).integerForKey("clavio_launch_count"), 0);
    EXPECT_EQ(log.count("defaults.json: larger than " + std::to_string(kMaxDefaultsBytes)), 1u);
}

TEST(JsonDefaultsStore, FailedWriteIsLoggedAndTheValueStaysInMemory) {
    testing::TempDir dir;
    // A regular file where the folder should be: fails even for root.
    testing::writeFile(dir / "Clavio", "not a folder");
    testing::LogCapture log;
    JsonDefaultsStore store(dir / "Clavio" / "defaults.json");
    store.setInteger("clavio_launch_count", 3);
    EXPECT_EQ(store.integerForKey("clavio_launch_count"), 3);
    EXPECT_EQ(log.count("[Clavio] Cannot save defaults"), 1u);
    EXPECT_EQ(testing::readFile(dir / "Clavio"), "not a folder");
}

} // namespace
} // namespace clavio
