// The desktop services on Linux: the autostart entry, the URL opener, the
// machine description, termination signals and thread names.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <future>

#include "engine/runtime/run_loop.h"
#include "engine/runtime/serial_deadline_queue.h"
#include "engine/runtime/termination_center.h"
#include "engine/runtime/thread_naming.h"
#include "platform/linux/desktop/linux_machine_description.h"
#include "platform/linux/desktop/termination_signals.h"
#include "platform/linux/desktop/xdg_login_item.h"
#include "platform/linux/desktop/xdg_url_opener.h"
#include "platform/linux/system/thread_naming.h"
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

std::atomic<int> gPreviousHandlerCalls{0};

} // namespace

TEST(XdgLoginItem, RegisterWritesOneEntryThatTheUserCanDisableAndUnregisterRemovesIt) {
    ScopedXdgHome home;
    LogCapture log;
    XdgLoginItem item("/opt/clavio/bin/clavio");
    const auto path = home.configHome() / "autostart" / "clavio.desktop";
    EXPECT_EQ(item.entryPath(), path);
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    // Registering twice (the settings window does it each time it shows the
    // switch on) leaves one entry and no temporary files behind.
    ASSERT_TRUE(applyLoginItem(item, true));
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    EXPECT_EQ(readFile(path).rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(readFile(path).find("\nType=Application\n"), std::string::npos);
    EXPECT_EQ(execLine(path), "/opt/clavio/bin/clavio --background");
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);

    for (const char* disabled : {"Hidden=true", "X-GNOME-Autostart-enabled = false"}) {
        writeFile(path, std::string("[Desktop Entry]\nExec=/usr/bin/clavio\n") + disabled + "\n");
        EXPECT_EQ(item.status(), LoginItemStatus::disabledByUser) << disabled;
    }
    // The same key in another group does not count.
    writeFile(path, "[Desktop Entry]\nExec=/usr/bin/clavio\n[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    writeFile(path, "[Desktop Entry]\nHidden=true\n");
    ASSERT_EQ(item.registerLoginItem(), std::nullopt);
    EXPECT_EQ(item.status(), LoginItemStatus::enabled) << "registering enables it again";

    ASSERT_TRUE(applyLoginItem(item, false));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(item.unregisterLoginItem(), std::nullopt) << "unregistering twice is no error";
    EXPECT_TRUE(log.lines().empty());

    // An explicit config home wins over the environment.
    TempDir other;
    ASSERT_EQ(XdgLoginItem("/usr/bin/clavio", other.path()).registerLoginItem(), std::nullopt);
    EXPECT_TRUE(fs::exists(other / "autostart" / "clavio.desktop"));
    EXPECT_FALSE(fs::exists(path));
    const auto exe = XdgLoginItem::currentExecutable();
    EXPECT_TRUE(exe.is_absolute() && fs::exists(exe)) << exe;
}

TEST(XdgLoginItem, ExecLineQuotesAwkwardPathsAndFailuresAreReadableAndLeaveNoEntry) {
    ScopedXdgHome home;
    const std::pair<std::string, std::string> cases[] = {
        {"/home/a b/clavio", "\"/home/a b/clavio\""},
        {"/opt/100%/clavio", "/opt/100%%/clavio"},
        {"/opt/$x/cla\"vio", "\"/opt/\\\\$x/cla\\\\\"vio\""},
        {"/opt/back\\slash/clavio", "\"/opt/back\\\\\\\\slash/clavio\""},
    };
    for (const auto& [path, exec] : cases) {
        XdgLoginItem item(path);
        ASSERT_EQ(item.registerLoginItem(), std::nullopt) << path;
        EXPECT_EQ(execLine(item.entryPath()), exec + " --background") << path;
    }
    const auto autostart = home.configHome() / "autostart";
    fs::remove_all(autostart);
    // An Exec line cannot carry a newline; a relative path means nothing to the session.
    auto error = XdgLoginItem("/opt/evil\nHidden=true/clavio").registerLoginItem();
    EXPECT_NE(error.value_or("").find("control character"), std::string::npos);
    error = XdgLoginItem("bin/clavio").registerLoginItem();
    EXPECT_NE(error.value_or("").find("absolute"), std::string::npos);
    EXPECT_FALSE(fs::exists(autostart));

    // A regular file where the autostart folder belongs blocks even root.
    writeFile(autostart, "not a folder");
    XdgLoginItem item("/usr/bin/clavio");
    LogCapture log;
    EXPECT_FALSE(applyLoginItem(item, true));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("[Clavio] Launch at login failed: Could not create ", 0), 0u)
        << log.lines()[0];
    EXPECT_NE(item.registerLoginItem().value_or("").find(autostart.string()), std::string::npos);
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    EXPECT_EQ(readFile(autostart), "not a folder");

    // A folder named like the entry is neither overwritten nor deleted.
    fs::remove(autostart);
    fs::create_directories(autostart / "clavio.desktop" / "keep");
    EXPECT_TRUE(item.registerLoginItem());
    EXPECT_NE(item.unregisterLoginItem().value_or("").find("folder"), std::string::npos);
    EXPECT_TRUE(fs::exists(autostart / "clavio.desktop" / "keep"));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
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

TEST(LinuxMachineDescription, ReadsModelProcessorSystemAndLocaleOrFallsBack) {
    const fs::path data = CLAVIO_TEST_DATA_DIR "/platform";
    LinuxMachineDescription machine(data / "machine_root");
    EXPECT_EQ(machine.hardwareModel(), "21HMCTO1WW");
    EXPECT_EQ(machine.processorName(), "13th Gen Intel(R) Core(TM) i7-1365U");
    EXPECT_EQ(machine.osVersion(), "Debian GNU/Linux 12 (\"bookworm\")");
    // An ARM cpuinfo has no "model name"; os-release only under /usr/lib,
    // without PRETTY_NAME; a folder where the model file should be.
    LinuxMachineDescription arm(data / "arm_root");
    EXPECT_EQ(arm.hardwareModel(), "");
    EXPECT_EQ(arm.processorName(), "");
    EXPECT_EQ(arm.osVersion(), "Arch Linux rolling");
    TempDir empty;
    EXPECT_EQ(LinuxMachineDescription(empty.path()).osVersion(), "Linux");

    ScopedEnv all("LC_ALL", std::nullopt);
    ScopedEnv messages("LC_MESSAGES", "pt_BR.UTF-8");
    ScopedEnv lang("LANG", "de_CH.UTF-8");
    EXPECT_EQ(machine.localeIdentifier(), "pt_BR");
    {
        ScopedEnv override("LC_ALL", "sr_RS@latin");
        EXPECT_EQ(machine.localeIdentifier(), "sr_RS");
    }
    ScopedEnv emptyMessages("LC_MESSAGES", "");
    EXPECT_EQ(machine.localeIdentifier(), "de_CH");
    for (const char* posix : {"C.UTF-8", "POSIX", "", "/etc/passwd"}) {
        EXPECT_EQ(LinuxMachineDescription::localeFromPosixName(posix), "en_US_POSIX") << posix;
    }
}

TEST(TerminationSignals, QuitObserversRunOnceOnTheMainQueueAndThePreviousHandlerComesBack) {
    struct sigaction previous {}, saved{};
    previous.sa_handler = [](int) { ++gPreviousHandlerCalls; };
    sigemptyset(&previous.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &previous, &saved), 0);
    for (int signal : {SIGTERM, SIGINT}) {
        RunLoop loop;
        TerminationCenter center(loop);
        int calls = 0;
        bool onMain = false;
        center.addQuitObserver([&] {
            ++calls;
            onMain = loop.isMainThread();
        });
        LogCapture log;
        {
            TerminationSignals first(center);
            TerminationSignals second(center);
            EXPECT_TRUE(first.active());
            EXPECT_FALSE(second.active()) << "one instance at a time";
            EXPECT_EQ(log.count("already handled elsewhere"), 1u);
            ::raise(signal);
            EXPECT_TRUE(loop.runUntil([&] { return calls > 0; }, 5s));
            loop.runUntil([] { return false; }, 50ms);
        }
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(onMain);
        EXPECT_EQ(log.count(signal == SIGTERM ? "[Clavio] Received SIGTERM; quitting"
                                              : "[Clavio] Received SIGINT"),
                  1u);
    }
    EXPECT_EQ(gPreviousHandlerCalls, 0);
    ::raise(SIGINT); // the test's own handler again, not the process-ending default
    EXPECT_EQ(gPreviousHandlerCalls, 1);
    ::sigaction(SIGINT, &saved, nullptr);
}

TEST(ThreadNaming, ShortNamesFitTheKernelLimitAndTheClassifyWorkerCarriesOne) {
    EXPECT_EQ(shortThreadName("com.nomari.clavio.keyboard-capture"), "keyboard-captur");
    EXPECT_EQ(shortThreadName("plain"), "plain");
    EXPECT_EQ(shortThreadName("trailing."), "trailing.");
    // "é" is two bytes: a cut between them drops the whole character.
    EXPECT_EQ(shortThreadName("x.abcdefghijklmné"), "abcdefghijklmn");
    EXPECT_EQ(shortThreadName("x.abcdefghijklmé"), "abcdefghijklmé");
    installThreadNaming();
    std::promise<std::string> name;
    {
        SerialDeadlineQueue queue;
        ASSERT_TRUE(queue.submit([&] {
            char buffer[32] = {};
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name.set_value(buffer);
        }));
        ASSERT_TRUE(queue.waitUntilIdle(5s));
    }
    setThreadNamer(nullptr);
    EXPECT_EQ(name.get_future().get(), "classify");
}
