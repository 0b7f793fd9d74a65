#include <gtest/gtest.h>

#include <filesystem>

#include "platform/linux/desktop/linux_machine_description.h"
#include "tests/support/test_support.h"

namespace clavio::platform {
namespace {

namespace fs = std::filesystem;

void put(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    testing::writeFile(path, text);
}

TEST(LinuxMachineDescription, ReadsModelProcessorAndSystemFromTheRoot) {
    testing::TempDir root;
    put(root / "sys/devices/virtual/dmi/id/product_name", "  21HMCTO1WW \n");
    put(root / "proc/cpuinfo", "processor\t: 0\nvendor_id\t: GenuineIntel\n"
                               "model name\t: 13th Gen Intel(R) Core(TM) i7-1365U\n"
                               "flags\t\t: fpu\n\nprocessor\t: 1\nmodel name\t: other\n");
    put(root / "etc/os-release", "# comment\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
                                 "PRETTY_NAME=\"Debian GNU/Linux 12 (\\\"bookworm\\\")\"\n");
    LinuxMachineDescription machine(root.path());
    EXPECT_EQ(machine.hardwareModel(), "21HMCTO1WW");
    EXPECT_EQ(machine.processorName(), "13th Gen Intel(R) Core(TM) i7-1365U");
    EXPECT_EQ(machine.osVersion(), "Debian GNU/Linux 12 (\"bookworm\")");
}

TEST(LinuxMachineDescription, MissingSourcesGiveEmptyValuesOrTheFallbacks) {
    testing::TempDir root;
    LinuxMachineDescription bare(root.path());
    EXPECT_EQ(bare.hardwareModel(), "");
    EXPECT_EQ(bare.processorName(), "");
    EXPECT_EQ(bare.osVersion(), "Linux");

    // An ARM cpuinfo has no "model name"; os-release only under /usr/lib,
    // without PRETTY_NAME; a folder where the model file should be.
    put(root / "proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 48.00\nCPU part\t: 0xd08\n");
    put(root / "usr/lib/os-release", "NAME='Arch Linux'\nVERSION_ID=rolling\n");
    fs::create_directories(root / "sys/devices/virtual/dmi/id/product_name");
    EXPECT_EQ(bare.processorName(), "");
    EXPECT_EQ(bare.osVersion(), "Arch Linux rolling");
    EXPECT_EQ(bare.hardwareModel(), "");
}

TEST(LinuxMachineDescription, LocaleFollowsThePosixPrecedenceAndDropsTheEncoding) {
    testing::ScopedEnv all("LC_ALL", std::nullopt);
    testing::ScopedEnv messages("LC_MESSAGES", "pt_BR.UTF-8");
    testing::ScopedEnv lang("LANG", "de_CH.UTF-8");
    LinuxMachineDescription machine;
    EXPECT_EQ(machine.localeIdentifier(), "pt_BR");
    {
        testing::ScopedEnv override("LC_ALL", "sr_RS@latin");
        EXPECT_EQ(machine.localeIdentifier(), "sr_RS");
    }
    {
        testing::ScopedEnv empty("LC_MESSAGES", "");
        EXPECT_EQ(machine.localeIdentifier(), "de_CH");
    }
    EXPECT_EQ(LinuxMachineDescription::localeFromPosixName("C.UTF-8"), "en_US_POSIX");
    EXPECT_EQ(LinuxMachineDescription::localeFromPosixName("POSIX"), "en_US_POSIX");
    EXPECT_EQ(LinuxMachineDescription::localeFromPosixName(""), "en_US_POSIX");
    EXPECT_EQ(LinuxMachineDescription::localeFromPosixName("en_GB"), "en_GB");
    EXPECT_EQ(LinuxMachineDescription::localeFromPosixName("/etc/passwd"), "en_US_POSIX");
}

} // namespace
} // namespace clavio::platform
