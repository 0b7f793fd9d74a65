// The machine description from the usual Linux sources, all under a root
// folder so tests can give a fake one:
//   model      <root>/sys/devices/virtual/dmi/id/product_name
//   processor  "model name" in <root>/proc/cpuinfo
//   system     PRETTY_NAME of <root>/etc/os-release (else <root>/usr/lib/os-release)
//   locale     LC_ALL, else LC_MESSAGES, else LANG, without encoding and modifier
//              ("de_CH.UTF-8@euro" gives "de_CH"); "C", "POSIX" or none give "en_US_POSIX"
//
// Threading: any thread; every call reads its source afresh.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "engine/ports/machine_description.h"

namespace clavio::platform {

class LinuxMachineDescription final : public MachineDescription {
public:
    explicit LinuxMachineDescription(std::filesystem::path root = "/");

    std::string hardwareModel() const override;
    std::string processorName() const override;
    // PRETTY_NAME, else NAME and VERSION_ID, else "Linux".
    std::string osVersion() const override;
    std::string localeIdentifier() const override;

    // The locale identifier for a POSIX locale name.
    static std::string localeFromPosixName(std::string_view name);

private:
    std::filesystem::path _root;
};

} // namespace clavio::platform
