// What the usage pings say about the machine.
//
// Threading: any thread; implementations read their sources on every call
// and keep no state. Implementation: platform LinuxMachineDescription.
#pragma once

#include <string>

namespace clavio {

class MachineDescription {
public:
    virtual ~MachineDescription() = default;

    // The machine model, such as "ThinkPad X1 Carbon Gen 11"; empty when unknown.
    virtual std::string hardwareModel() const = 0;
    // The processor's marketing name; empty when unknown.
    virtual std::string processorName() const = 0;
    // The operating system's human-readable name and version.
    virtual std::string osVersion() const = 0;
    // The current locale's identifier, such as "de_CH".
    virtual std::string localeIdentifier() const = 0;
};

} // namespace clavio
