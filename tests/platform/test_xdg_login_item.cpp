#include <gtest/gtest.h>

#include "platform/linux/desktop/xdg_login_item.h"
#include "tests/support/test_support.h"

using namespace clavio;
using clavio::platform::applyLoginItem;
using clavio::platform::LoginItemStatus;
using clavio::platform::XdgLoginItem;
using clavio::testing::readFile;
using clavio::testing::ScopedXdgHome;
using clavio::testing::writeFile;

namespace {
std::string execLine(const std::string& entry) {
    const auto at = entry.find("\nExec=");
    if (at == std::string::npos) {
        return {};
    }
    const auto end = entry.find('\n', at + 1);
    return entry.substr(at + 6, end - at - 6);
}
} // namespace

TEST(XdgLoginItem, RegisterWritesAnEntryUnderXdgConfigHomeAndUnregisterRemovesIt) {
    ScopedXdgHome home;
    XdgLoginItem item("/opt/clavio/bin/clavio");
    const auto path = home.configHome() / "autostart" / "clavio.desktop";
    EXPECT_EQ(item.entryPath(), path);
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);

    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    ASSERT_TRUE(std::filesystem::is_regular_file(path));
    const std::string entry = readFile(path);
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos);
    EXPECT_EQ(execLine(entry), "/opt/clavio/bin/clavio");
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);

    // Registering again (the settings window does it each time it shows the
    // switch on) leaves one entry and no temporary files behind.
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    size_t files = 0;
    for ([[maybe_unused]] const auto& e :
         std::filesystem::directory_iterator(home.configHome() / "autostart")) {
        ++files;
    }
    EXPECT_EQ(files, 1u);

    ASSERT_EQ(item.unregisterLoginItem(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    // Unregistering what is not registered is not an error.
    EXPECT_EQ(item.unregisterLoginItem(), std::nullopt);
}

TEST(XdgLoginItem, StatusHonoursAnEntryTheUserDisabledAndRegisterReenablesIt) {
    ScopedXdgHome home;
    XdgLoginItem item("/usr/bin/clavio");
    const auto path = home.configHome() / "autostart" / "clavio.desktop";
    writeFile(path, "[Desktop Entry]\nType=Application\nExec=/usr/bin/clavio\nHidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::disabledByUser);
    writeFile(path, "[Desktop Entry]\nExec=/usr/bin/clavio\nX-GNOME-Autostart-enabled = false\n");
    EXPECT_EQ(item.status(), LoginItemStatus::disabledByUser);
    // The same key in another group does not count.
    writeFile(path, "[Desktop Entry]\nExec=/usr/bin/clavio\n[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);

    writeFile(path, "[Desktop Entry]\nHidden=true\n");
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
}

TEST(XdgLoginItem, ExecLineQuotesAndEscapesAwkwardPaths) {
    ScopedXdgHome home;
    struct Case {
        std::string path;
        std::string exec;
    };
    const Case cases[] = {
        {"/home/a b/clavio", "\"/home/a b/clavio\""},
        {"/opt/100%/clavio", "/opt/100%%/clavio"},
        {"/opt/$x/cla\"vio", "\"/opt/\\\\$x/cla\\\\\"vio\""},
        {"/opt/back\\slash/clavio", "\"/opt/back\\\\\\\\slash/clavio\""},
    };
    for (const auto& c : cases) {
        XdgLoginItem item(c.path);
        ASSERT_EQ(item.registerLoginItem(), std::nullopt) << c.path;
        EXPECT_EQ(execLine(readFile(item.entryPath())), c.exec) << c.path;
    }
}

TEST(XdgLoginItem, FailuresAreReadableAndLeaveNoEntry) {
    ScopedXdgHome home;
    const auto autostart = home.configHome() / "autostart";

    // An Exec line cannot carry a newline, and a relative path means nothing
    // to the session.
    auto error = XdgLoginItem("/opt/evil\nHidden=true/clavio").registerLoginItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("control character"), std::string::npos) << *error;
    error = XdgLoginItem("bin/clavio").registerLoginItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("absolute"), std::string::npos) << *error;
    EXPECT_FALSE(std::filesystem::exists(autostart));

    // A regular file where the autostart folder belongs blocks even root.
    writeFile(autostart, "not a folder");
    XdgLoginItem item("/usr/bin/clavio");
    error = item.registerLoginItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(autostart.string()), std::string::npos) << *error;
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(readFile(autostart), "not a folder");

    // A folder named like the entry is neither overwritten nor deleted.
    std::filesystem::remove(autostart);
    std::filesystem::create_directories(autostart / "clavio.desktop" / "keep");
    error = item.registerLoginItem();
    ASSERT_TRUE(error.has_value());
    error = item.unregisterLoginItem();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("folder"), std::string::npos) << *error;
    EXPECT_TRUE(std::filesystem::exists(autostart / "clavio.desktop" / "keep"));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
}

TEST(XdgLoginItem, ExplicitConfigHomeWinsOverTheEnvironment) {
    ScopedXdgHome home;
    clavio::testing::TempDir other;
    XdgLoginItem item("/usr/bin/clavio", other.path());
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(other / "autostart" / "clavio.desktop"));
    EXPECT_FALSE(std::filesystem::exists(home.configHome() / "autostart"));
}

TEST(XdgLoginItem, CurrentExecutableIsThisTestProgram) {
    const auto exe = XdgLoginItem::currentExecutable();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(exe.is_absolute());
    EXPECT_TRUE(std::filesystem::exists(exe));
}

TEST(XdgLoginItem, ApplyLogsOneLineOnFailureAndNothingOnSuccess) {
    ScopedXdgHome home;
    clavio::testing::LogCapture log;
    XdgLoginItem item("/usr/bin/clavio");
    EXPECT_TRUE(applyLoginItem(item, true));
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_TRUE(applyLoginItem(item, false));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_TRUE(log.lines().empty());

    std::filesystem::remove_all(home.configHome() / "autostart");
    writeFile(home.configHome() / "autostart", "in the way");
    EXPECT_FALSE(applyLoginItem(item, true));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("[Clavio] SMAppService error: Could not create ", 0), 0u)
        << log.lines()[0];
}
