// The desktop services on Linux: the autostart entry and the URL opener.
#include <gtest/gtest.h>

#include "platform/linux/desktop/xdg_login_item.h"
#include "platform/linux/desktop/xdg_url_opener.h"
#include "tests/support/fake_device_tree.h"
#include "tests/support/test_support.h"

using namespace clavio;
using namespace clavio::platform;
using namespace clavio::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string execLine(const fs::path& entry) {
    const std::string text = readFile(entry);
    const auto at = text.find("\nExec=");
    return at == std::string::npos ? "" : text.substr(at + 6, text.find('\n', at + 1) - at - 6);
}

// A stand-in for xdg-open that records its arguments, one a line, and their count.
fs::path fakeOpener(const TempDir& dir) {
    const fs::path script = dir / "xdg-open";
    writeFile(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args.tmp\"\n"
                      "echo $# >> \"$0.args.tmp\"\n/bin/mv \"$0.args.tmp\" \"$0.args\"\n");
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

std::string openerArgs(const fs::path& script) {
    const fs::path args = script.string() + ".args";
    waitFor([&] { return fs::exists(args); });
    return fs::exists(args) ? readFile(args) : "";
}

} // namespace

TEST(XdgLoginItem, RegisterWritesOneEntryThatTheUserCanDisableAndUnregisterRemovesIt) {
    ScopedXdgHome home;
    LogCapture log;
    XdgLoginItem item("/opt/clavio/bin/clavio");
    const auto path = home.configHome() / "autostart" / "clavio.desktop";
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    // Registering twice (the settings window does it whenever it shows the switch
    // on) leaves one entry and no temporary files behind.
    ASSERT_TRUE(applyLoginItem(item, true));
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    EXPECT_EQ(readFile(path).rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(execLine(path), "/opt/clavio/bin/clavio --background");
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), 1);
    // The same key in another group does not count; registering enables it again.
    for (const auto& [extra, status] :
         {std::pair{"Hidden=true", LoginItemStatus::disabledByUser},
          {"X-GNOME-Autostart-enabled = false", LoginItemStatus::disabledByUser},
          {"[Desktop Action x]\nHidden=true", LoginItemStatus::enabled}}) {
        writeFile(path, std::string("[Desktop Entry]\nExec=/usr/bin/clavio\n") + extra + "\n");
        EXPECT_EQ(item.status(), status) << extra;
    }
    writeFile(path, "[Desktop Entry]\nHidden=true\n");
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    ASSERT_TRUE(applyLoginItem(item, false));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(item.unregisterLoginItem(), std::nullopt) << "unregistering twice is no error";
    EXPECT_TRUE(log.lines().empty());
}

TEST(XdgLoginItem, ExecLineQuotesAwkwardPathsAndFailuresAreReadableAndLeaveNoEntry) {
    ScopedXdgHome home;
    for (const auto& [path, exec] :
         {std::pair<std::string, std::string>{"/home/a b/clavio", "\"/home/a b/clavio\""},
          {"/opt/100%/clavio", "/opt/100%%/clavio"},
          {"/opt/$x/cla\"vio", "\"/opt/\\\\$x/cla\\\\\"vio\""},
          {"/opt/back\\slash/clavio", "\"/opt/back\\\\\\\\slash/clavio\""}}) {
        XdgLoginItem item(path);
        ASSERT_EQ(item.registerLoginItem(), std::nullopt) << path;
        EXPECT_EQ(execLine(item.entryPath()), exec + " --background") << path;
    }
    const auto autostart = home.configHome() / "autostart";
    fs::remove_all(autostart);
    // An Exec line cannot carry a newline; a relative path means nothing to the session.
    const auto error = [](const char* path) {
        return XdgLoginItem(path).registerLoginItem().value_or("");
    };
    EXPECT_NE(error("/opt/evil\nHidden=true/clavio").find("control character"), std::string::npos);
    EXPECT_NE(error("bin/clavio").find("absolute"), std::string::npos);
    EXPECT_FALSE(fs::exists(autostart));
}

TEST(XdgUrlOpener, PassesTheAddressAsOneArgumentWithoutAShellAndRefusesOthers) {
    TempDir dir;
    const fs::path script = fakeOpener(dir);
    // Everything a shell would act on, none of which a URL forbids.
    const std::string tricky = "https://example.org/?x=$(touch${IFS}" + (dir / "pwned").string() +
                               ")&y=`id`;z|w>" + (dir / "out").string();
    ASSERT_TRUE(XdgUrlOpener(script.string()).open(tricky));
    EXPECT_EQ(openerArgs(script), tricky + "\n1\n");
    EXPECT_FALSE(fs::exists(dir / "pwned"));
    EXPECT_FALSE(fs::exists(dir / "out"));
    fs::remove(script.string() + ".args");

    ScopedEnv path("PATH", dir.path().string());
    XdgUrlOpener opener; // found in PATH
    for (const char* refused : {"", "example.org", "-h", "/etc/passwd", "file name:x",
                                "https://example.org/a b", "https://x\n-h"}) {
        EXPECT_FALSE(opener.open(refused)) << refused;
    }
    EXPECT_FALSE(fs::exists(script.string() + ".args")) << "nothing was started";
    ASSERT_TRUE(opener.open("mailto:someone@example.org"));
    EXPECT_EQ(openerArgs(script), "mailto:someone@example.org\n1\n");
    fs::remove(script);
    EXPECT_FALSE(opener.open("https://example.org")) << "no handler";
}
