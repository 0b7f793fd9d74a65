#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/linux/desktop/xdg_url_opener.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::testing;
namespace fs = std::filesystem;

namespace {

// A stand-in for xdg-open that records its argument count and arguments.
fs::path fakeOpener(const TempDir& dir, const std::string& name = "xdg-open") {
    const fs::path script = dir / name;
    writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args.tmp\"\n"
                      "echo $# >> \"$0.args.tmp\"\n/bin/mv \"$0.args.tmp\" \"$0.args\"\n");
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

std::string waitForArgs(const fs::path& script) {
    const fs::path args = script.string() + ".args";
    for (int i = 0; i < 500 && !fs::exists(args); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return readFile(args);
}

} // namespace

TEST(XdgUrlOpener, PassesTheAddressAsOneArgumentWithoutAShell) {
    TempDir dir;
    const fs::path script = fakeOpener(dir);
    platform::XdgUrlOpener opener(script.string());
    // Everything a shell would act on, none of which a URL forbids.
    const std::string tricky = "https://example.org/?x=$(touch${IFS}" + (dir / "pwned").string() +
                               ")&y=`id`;z|w>" + (dir / "out").string();
    ASSERT_TRUE(opener.open(tricky));
    EXPECT_EQ(waitForArgs(script), tricky + "\n1\n");
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(XdgUrlOpener, FindsTheHandlerInPathAndRefusesAddressesWithoutScheme) {
    TempDir dir;
    const fs::path script = fakeOpener(dir);
    ScopedEnv path("PATH", dir.path().string());
    platform::XdgUrlOpener opener;
    for (const char* refused : {"", "example.org", "-h", "/etc/passwd", "file name:x",
                                "https://example.org/a b", "https://x\n-h"}) {
        EXPECT_FALSE(opener.open(refused)) << refused;
    }
    EXPECT_FALSE(fs::exists(script.string() + ".args")) << "nothing was started";
    ASSERT_TRUE(opener.open("mailto:someone@example.org"));
    EXPECT_EQ(waitForArgs(script), "mailto:someone@example.org\n1\n");
}

TEST(XdgUrlOpener, MissingHandlerIsAFailure) {
    TempDir dir;
    ScopedEnv path("PATH", dir.path().string());
    platform::XdgUrlOpener opener;
    EXPECT_FALSE(opener.open("https://example.org"));
}
