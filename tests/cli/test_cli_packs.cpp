#include <gtest/gtest.h>

#include "tests/cli/cli_runner.h"
#include "tests/support/test_support.h"

using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

const fs::path kBuiltIn = fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks";

// A small valid pack made from a built-in file.
void makePack(const fs::path& folder, const std::string& name) {
    fs::create_directories(folder);
    fs::copy_file(kBuiltIn / "Biscuit" / "alpha" / "soft_1.wav", folder / "a.wav",
                  fs::copy_options::overwrite_existing);
    writeFile(folder / "pack.json", R"({"name":")" + name + R"(","author":"T","license":"CC0",
        "groups":{"alpha":{"soft":["a.wav"],"hard":["a.wav"]}},"release":{"alpha":["a.wav"]}})");
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

} // namespace

TEST(CliPacks, ListsBundledAndUserPacksOnceInDisplayOrder) {
    ScopedXdgHome home;
    TempDir resources;
    ScopedEnv resourceDir("CLAVIO_RESOURCE_DIR", resources.path().string());
    makePack(resources / "SoundPacks" / "Foo", "Zebra");
    makePack(resources / "SoundPacks" / "Shared", "Shared bundled");
    const fs::path user = home.dataHome() / "Clavio" / "SoundPacks";
    makePack(user / "Bar", "alpha pack");
    makePack(user / "Shared", "Shared user");

    const auto run = runCli({"packs"});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    const auto bar = run.output.find("Bar");
    const auto shared = run.output.find("Shared ");
    const auto foo = run.output.find("Foo");
    ASSERT_NE(bar, std::string::npos) << run.output;
    EXPECT_LT(bar, shared);
    EXPECT_LT(shared, foo);
    EXPECT_TRUE(contains(run.output, "alpha pack")) << run.output;
    EXPECT_TRUE(contains(run.output, "Shared bundled")) << run.output;
    EXPECT_FALSE(contains(run.output, "Shared user")) << "listed once, from the first path";
    EXPECT_TRUE(contains(run.output, (resources / "SoundPacks").string()));
    EXPECT_TRUE(contains(run.output, user.string()));
}

TEST(CliPacks, SaysWhereItLookedWhenThereAreNoPacks) {
    ScopedXdgHome home;
    TempDir resources;
    ScopedEnv resourceDir("CLAVIO_RESOURCE_DIR", resources.path().string());
    const auto run = runCli({"packs"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_TRUE(contains(run.output, "No sound packs found"));
    EXPECT_TRUE(contains(run.output, (home.dataHome() / "Clavio" / "SoundPacks").string()));
}

TEST(CliPackCheck, BuiltInPacksPass) {
    for (const char* pack : {"Biscuit", "Bluebell"}) {
        const auto run = runCli({"pack-check", (kBuiltIn / pack).string()});
        EXPECT_EQ(run.exitStatus, 0) << run.output;
        EXPECT_TRUE(contains(run.output, "pack-check: OK")) << run.output;
        EXPECT_FALSE(contains(run.output, "error:")) << run.output;
    }
}

TEST(CliPackCheck, ReportsFallbacksWithoutFailing) {
    TempDir dir;
    makePack(dir / "P", "P");
    const auto run = runCli({"pack-check", (dir / "P").string()});
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "fallback: alpha medium uses the group's soft files"));
    EXPECT_TRUE(contains(run.output, "fallback: alpha slam uses the group's hard files"));
    EXPECT_TRUE(contains(run.output, "fallback: no \"space\" group; its keys use \"alpha\""));
    EXPECT_TRUE(contains(run.output, "fallback: release of enter uses \"alpha\""));
    EXPECT_TRUE(contains(run.output, "pack-check: OK (1 file decodes)")) << run.output;

    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0","groups":{
        "alpha":{"hard":["a.wav"]},"space":{"soft":["a.wav"],"medium":[]}}})");
    const auto sparse = runCli({"pack-check", (dir / "P").string()});
    EXPECT_EQ(sparse.exitStatus, 0) << sparse.output;
    EXPECT_TRUE(contains(sparse.output, "silent: alpha soft has no sound")) << sparse.output;
    EXPECT_TRUE(
        contains(sparse.output, "fallback: space hard uses \"alpha\" (its medium list is empty)"))
        << sparse.output;
    EXPECT_TRUE(contains(sparse.output, "silent: no \"release\" sounds")) << sparse.output;
}

TEST(CliPackCheck, ManifestErrorsNameTheJsonPath) {
    TempDir dir;
    makePack(dir / "P", "P");
    const std::pair<std::string, std::string> cases[] = {
        {R"({"name":"P","author":"T","license":"CC0","groups":{"alpha":{"soft":[1]}}})",
         "error: pack.json: $.groups.alpha.soft[0]: expected a string, found a number"},
        {R"({"name":"P","license":"CC0","groups":{}})",
         "error: pack.json: $.author: required member is missing"},
        {R"({"name":"P","author":"T","license":"CC0","groups":{"alpha":{"soft":["a.wav"]}})",
         "error: pack.json: $: invalid JSON"},
        {"\xFF\xFE{}", "error: pack.json: $: invalid JSON"},
        {R"({"name":"P","author":"T","license":"CC0","groups":{"alpha":{"soft":["../x.wav"]}}})",
         "error: pack.json: $.groups.alpha.soft[0]: \"../x.wav\" is not a file inside"},
    };
    for (const auto& [json, message] : cases) {
        writeFile(dir / "P" / "pack.json", json);
        const auto run = runCli({"pack-check", (dir / "P").string()});
        EXPECT_EQ(run.exitStatus, 1) << json;
        EXPECT_TRUE(contains(run.output, message)) << run.output;
    }
    fs::remove(dir / "P" / "pack.json");
    const auto missing = runCli({"pack-check", (dir / "P").string()});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_TRUE(contains(missing.output, "no such file")) << missing.output;
    const auto notFolder = runCli({"pack-check", (dir / "P" / "a.wav").string()});
    EXPECT_EQ(notFolder.exitStatus, 1);
    EXPECT_TRUE(contains(notFolder.output, "is not a folder")) << notFolder.output;
}

TEST(CliPackCheck, FilesThatAreMissingBrokenOrOutsideFail) {
    TempDir dir;
    makePack(dir / "P", "P");
    writeFile(dir / "P" / "garbage.wav", "RIFF\x10\x00\x00\x00WAVEjunk");
    const std::string good = readFile(dir / "P" / "a.wav");
    writeFile(dir / "P" / "truncated.wav", good.substr(0, 30));
    writeFile(dir / "secret.wav", good);
    fs::create_symlink(dir / "secret.wav", dir / "P" / "link.wav");
    fs::create_directories(dir / "P" / "folder.wav");
    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0","groups":{
        "alpha":{"soft":["a.wav","missing.wav","garbage.wav"],"hard":["truncated.wav"]},
        "space":{"soft":["link.wav","folder.wav"]}},"release":{"alpha":["missing.wav"]}})");
    const auto run = runCli({"pack-check", (dir / "P").string()});
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    for (const char* expected : {
             "error: $.groups.alpha.soft[1]: \"missing.wav\" no such file",
             "error: $.groups.alpha.soft[2]: \"garbage.wav\" does not decode",
             "error: $.groups.alpha.hard[0]: \"truncated.wav\" does not decode",
             "error: $.groups.space.soft[0]: \"link.wav\" leads out of the pack folder",
             "error: $.groups.space.soft[1]: \"folder.wav\" is not a regular file",
             "error: $.release.alpha[0]: \"missing.wav\" no such file",
             "pack-check: FAILED (6 errors)",
         }) {
        EXPECT_TRUE(contains(run.output, expected)) << expected << "\n" << run.output;
    }
}

TEST(CliPackCheck, APackThatPlaysNothingFails) {
    TempDir dir;
    fs::create_directories(dir / "P");
    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0","groups":{}})");
    const auto run = runCli({"pack-check", (dir / "P").string()});
    EXPECT_EQ(run.exitStatus, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "no key press makes a sound")) << run.output;
}

TEST(PackSynth, RendersTheSameFilesEveryTime) {
    TempDir out;
    const auto run = runProgram(CLAVIO_BUILD_DIR "/tools/pack_synth", {out.path().string()});
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    std::size_t compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(kBuiltIn)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const fs::path relative = fs::relative(entry.path(), kBuiltIn);
        ASSERT_TRUE(fs::exists(out / relative.string())) << relative;
        EXPECT_EQ(readFile(entry.path()), readFile(out / relative.string())) << relative;
        ++compared;
    }
    EXPECT_GT(compared, 100u);
    const auto usage = runProgram(CLAVIO_BUILD_DIR "/tools/pack_synth", {});
    EXPECT_EQ(usage.exitStatus, 2);
}
