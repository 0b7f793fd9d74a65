// A program started by a test (no shell), with its standard output and error
// going to one file, that the test can signal and wait for. The child
// inherits the test's environment, so ScopedEnv / ScopedXdgHome apply.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace clavio::testing {

class ChildProcess {
public:
    // Starts `program` with `args` (not including the program name).
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
    // Kills a child still running and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return _pid > 0; }
    void signal(int signalNumber);
    // Waits up to `seconds` for the child to end. Its exit status, 128 plus
    // the signal number when a signal ended it, or -1 on a time-out.
    int wait(double seconds = 10.0);
    // Everything it printed so far.
    std::string output() const;

private:
    TempDir _dir;
    pid_t _pid = -1;
    bool _reaped = false;
    int _status = -1;
};

// The path of clavio-cli in the build tree.
std::filesystem::path clavioCli();

// Runs a program (clavio-cli by default) to its end, at most `seconds`:
// exit status and output.
struct CliRun {
    int status = -1;
    std::string output;
};
CliRun runClavioCli(const std::vector<std::string>& args, double seconds = 30.0);
CliRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  double seconds = 30.0);

} // namespace clavio::testing
