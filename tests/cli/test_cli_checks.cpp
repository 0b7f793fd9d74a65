// clavio-cli's packs, pack-check and trace-check, and the pack synthesiser.
#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

const fs::path kBuiltIn = fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "SoundPacks";
const fs::path kData = fs::path(CLAVIO_TEST_DATA_DIR) / "cli";

// A small valid pack made from a built-in file.
void makePack(const fs::path& folder, const std::string& name) {
    fs::create_directories(folder);
    fs::copy_file(kBuiltIn / "Biscuit" / "alpha" / "soft_1.wav", folder / "a.wav",
                  fs::copy_options::overwrite_existing);
    writeFile(folder / "pack.json", R"({"name":")" + name + R"(","author":"T","license":"CC0",
        "groups":{"alpha":{"soft":["a.wav"],"hard":["a.wav"]}},"release":{"alpha":["a.wav"]}})");
}

// Runs clavio-cli and expects `status` and every line of `expected` in its output.
void expectRun(const std::vector<std::string>& args, int status,
               const std::vector<std::string>& expected) {
    const auto run = runClavioCli(args);
    EXPECT_EQ(run.status, status) << run.output;
    for (const auto& line : expected) {
        EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
    }
}

void expectPackCheck(const fs::path& folder, int status, const std::vector<std::string>& expected) {
    expectRun({"pack-check", folder.string()}, status, expected);
}

} // namespace

TEST(CliPacks, ListsBundledAndUserPacksInDisplayOrderOrSaysWhereItLooked) {
    ScopedXdgHome home;
    TempDir resources;
    ScopedEnv resourceDir("CLAVIO_RESOURCE_DIR", resources.path().string());
    const fs::path user = home.dataHome() / "Clavio" / "SoundPacks";
    expectRun({"packs"}, 0, {"No sound packs found", user.string()});
    makePack(resources / "SoundPacks" / "Foo", "Zebra");
    makePack(user / "Bar", "alpha pack");
    const auto run = runClavioCli({"packs"});
    EXPECT_LT(run.output.find("Bar  "), run.output.find("Foo  ")) << "in display-name order";
    expectRun({"packs"}, 0, {"Foo  ", "alpha pack", (resources / "SoundPacks").string()});
}

// Installed as <prefix>/bin/clavio-cli (a copy: /proc/self/exe sees through
// links), it finds the packs and the demo under <prefix>/share/clavio.
TEST(CliPacks, AnInstalledCopyFindsItsDataUnderItsOwnPrefix) {
    ScopedXdgHome home;
    ScopedEnv resourceDir("CLAVIO_RESOURCE_DIR", std::nullopt);
    for (const char* prefix : {"usr", "usr/local", "opt/clavio"}) {
        TempDir root;
        const fs::path installed = root / prefix;
        const fs::path data = installed / "share" / "clavio";
        fs::create_directories(installed / "bin");
        fs::copy_file(clavioCli(), installed / "bin" / "clavio-cli");
        makePack(data / "SoundPacks" / "Foo", "Installed Foo");
        fs::create_directories(data / "demo");
        fs::copy_file(fs::path(CLAVIO_RESOURCE_BUILD_DIR) / "demo" / "demo.trace.jsonl",
                      data / "demo" / "demo.trace.jsonl");
        for (const auto& [args, expected] :
             std::vector<std::pair<std::vector<std::string>, std::string>>{
                 {{"packs"}, "Installed Foo"},
                 {{"packs"}, (data / "SoundPacks").string()},
                 {{"trace-check", "demo"}, (data / "demo" / "demo.trace.jsonl").string()}}) {
            const auto run = runProgram(installed / "bin" / "clavio-cli", args);
            EXPECT_EQ(run.status, 0) << prefix << "\n" << run.output;
            EXPECT_NE(run.output.find(expected), std::string::npos) << prefix << "\n" << run.output;
        }
    }
}

// A pack's name is text from a file: printed, an escape sequence in it would
// drive the terminal.
TEST(CliPacks, ControlCharactersInPackTextComeOutEscaped) {
    ScopedXdgHome home;
    TempDir resources;
    ScopedEnv resourceDir("CLAVIO_RESOURCE_DIR", resources.path().string());
    const fs::path pack = resources / "SoundPacks" / "Esc";
    makePack(pack, R"(Bad\u001b]0;owned\u0007 \u009b2J caf\u00e9)");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"packs"}, {"pack-check", pack.string()}}) {
        const auto run = runClavioCli(args);
        EXPECT_NE(run.output.find(R"(Bad\x1b]0;owned\x07 \xc2\x9b2J café)"), std::string::npos)
            << run.output;
        EXPECT_EQ(run.output.find_first_of("\x1b\x07"), std::string::npos) << run.output;
    }
}

// Numbers out of range or not numbers are refused before the command runs.
TEST(CliOptions, NumbersOutOfRangeOrNotNumbersAreUsageErrors) {
    TempDir dir;
    const std::string out = (dir / "o.wav").string();
    const std::vector<std::string> cases[] = {
        {"render", "--trace", "demo", "--out", out, "--rate", "5"},
        {"render", "--trace", "demo", "--out", out, "--seed", "-1"},
        {"render", "--trace", "demo", "--out", out, "--rate", "nan"},
        {"play", "--trace", "demo", "--tail", "inf"},
        {"devices", "--wait", "nan"},
        {"record", "--out", out, "--seconds", "1e300"}};
    for (const auto& args : cases) {
        const auto run = runClavioCli(args);
        EXPECT_EQ(run.status, 105) << run.output; // CLI11's status for an invalid value
        EXPECT_NE(run.output.find("must be"), std::string::npos) << run.output;
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(CliPackImport, ImportsIntoTheUserFolderThatPacksListsAndRefusesWithOneLine) {
    ScopedXdgHome home;
    TempDir src;
    fs::create_directories(src / "Typed");
    for (const char* f : {"1e-1.wav", "1e-0.wav", "39-1.wav"}) {
        fs::copy_file(kBuiltIn / "Biscuit" / "alpha" / "hard_1.wav", src / "Typed" / f);
    }
    const fs::path user = home.dataHome() / "Clavio" / "SoundPacks";
    expectRun({"pack-import", (src / "Typed").string()}, 0,
              {"Imported \"Typed\" (scan-code WAV folder) into " + (user / "Typed").string(),
               "space: 1 variant", "release: alpha 1", "9 files written"});
    expectRun({"packs"}, 0, {"Typed  ", "User packs go in " + user.string()});
    expectPackCheck(user / "Typed", 0, {"pack-check: OK (9 files decode;"});
    const auto again = runClavioCli({"pack-import", (src / "Typed").string()});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.output, "clavio-cli: a pack folder \"Typed\" already exists in " +
                                user.string() + "; use --force to replace it\n");
    expectRun({"pack-import", (src / "Typed").string(), "--force", "--name", "Biscuit"}, 1,
              {"a built-in pack is named \"Biscuit\""});
    // The name is printed as text from a file: escaped.
    const auto named =
        runClavioCli({"pack-import", (src / "Typed").string(), "--name", "Bad\x1b]0;x\x07"});
    EXPECT_NE(named.output.find(R"(Imported "Bad\x1b]0;x\x07")"), std::string::npos)
        << named.output;
}

TEST(CliPackCheck, BuiltInPacksPassAndFallbacksAreReportedWithoutFailing) {
    for (const char* pack : {"Biscuit", "Bluebell"}) {
        expectPackCheck(kBuiltIn / pack, 0, {"pack-check: OK"});
    }
    TempDir dir;
    makePack(dir / "P", "P");
    expectPackCheck(dir / "P", 0,
                    {"fallback: alpha medium uses the group's soft files",
                     "fallback: alpha slam uses the group's hard files",
                     "fallback: no \"space\" group; its keys use \"alpha\"",
                     "fallback: release of enter uses \"alpha\"",
                     "pack-check: OK (1 file decodes; 20 KB of the pack's limit of 256 MB"});
    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0","groups":{
        "alpha":{"hard":["a.wav"]},"space":{"soft":["a.wav"],"medium":[]}}})");
    expectPackCheck(dir / "P", 0,
                    {"silent: alpha soft has no sound",
                     "fallback: space hard uses \"alpha\" (its medium list is empty)",
                     "silent: no \"release\" sounds"});
}

TEST(CliPackCheck, ManifestErrorsNameTheJsonPathAndBrokenFilesFail) {
    TempDir dir;
    makePack(dir / "P", "P");
    writeFile(dir / "P" / "pack.json", R"({"name":"P","license":"CC0","groups":{}})");
    expectPackCheck(dir / "P", 1, {"error: pack.json: $.author: required member is missing"});
    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0","groups":{}})");
    expectPackCheck(dir / "P", 1, {"no key press makes a sound"});
    expectPackCheck(dir / "P" / "a.wav", 1, {"is not a folder"});

    const std::string good = readFile(dir / "P" / "a.wav");
    writeFile(dir / "P" / "garbage.wav", "RIFF\x10\x00\x00\x00WAVEjunk");
    writeFile(dir / "P" / "truncated.wav", good.substr(0, 30));
    writeFile(dir / "secret.wav", good);
    fs::create_symlink(dir / "secret.wav", dir / "P" / "link.wav");
    fs::create_directories(dir / "P" / "folder.wav");
    writeFile(dir / "P" / "pack.json", R"({"name":"P","author":"T","license":"CC0","groups":{
        "alpha":{"soft":["a.wav","missing.wav","garbage.wav"],"hard":["truncated.wav"]},
        "space":{"soft":["link.wav","folder.wav"]}},"release":{"alpha":["missing.wav"]}})");
    expectPackCheck(dir / "P", 1,
                    {"error: $.groups.alpha.soft[1]: \"missing.wav\" no such file",
                     "error: $.groups.alpha.soft[2]: \"garbage.wav\" does not decode",
                     "error: $.groups.alpha.hard[0]: \"truncated.wav\" does not decode",
                     "error: $.groups.space.soft[0]: \"link.wav\" leads out of the pack folder",
                     "error: $.groups.space.soft[1]: \"folder.wav\" is not a regular file",
                     "error: $.release.alpha[0]: \"missing.wav\" no such file",
                     "pack-check: FAILED (6 errors)"});
    fs::remove(dir / "P" / "pack.json");
    expectPackCheck(dir / "P", 1, {"no such file"});
}

TEST(CliTraceCheck, CountsTheRecordsOfAGoodTraceAndFailsWithTheLineOfABadOne) {
    const auto check = [](const std::string& trace) {
        return std::vector<std::string>{"trace-check",
                                        trace == "demo" ? trace : (kData / trace).string()};
    };
    expectRun(check("good.trace.jsonl"), 0,
              {"key downs:        1 (0 autorepeat)", "key ups:          1", "modifier changes: 1",
               "accel reports:    2 (1 of the wrong length", "duration:         2.500 s"});
    expectRun(check("bad_hex.trace.jsonl"), 1,
              {"bad_hex.trace.jsonl: line 3: \"accel\" is not hex"});
    expectRun(check("absent.jsonl"), 1, {"absent.jsonl"});
    expectRun(check("demo"), 0, {"demo.trace.jsonl", "accel rate:       1000."});
}

TEST(PackSynth, RendersTheSameFilesEveryTime) {
    TempDir out;
    const fs::path tool = CLAVIO_BUILD_DIR "/tools/pack_synth";
    const auto run = runProgram(tool, {out.path().string()}, 120.0);
    ASSERT_EQ(run.status, 0) << run.output;
    std::size_t compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(kBuiltIn)) {
        if (entry.is_regular_file()) {
            const fs::path relative = fs::relative(entry.path(), kBuiltIn);
            EXPECT_EQ(readFile(entry.path()), readFile(out / relative.string())) << relative;
            ++compared;
        }
    }
    EXPECT_GT(compared, 100u);
    EXPECT_EQ(runProgram(tool, {}).status, 2);
}
