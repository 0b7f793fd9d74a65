// A program started by a test (no shell) with its output and errors going to
// one file; it inherits the test's environment (ScopedEnv, ScopedXdgHome).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace clavio::testing {

class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
    ~ChildProcess(); // kills a child still running and reaps it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int signalNumber);
    // The exit status, 128 plus the signal that ended it, or -1 after `seconds`.
    int wait(double seconds = 10.0);
    std::string output() const; // everything printed so far

private:
    TempDir _dir;
    pid_t _pid = -1;
    std::optional<int> _status; // once reaped
};

std::filesystem::path clavioCli(); // in the build tree

// Runs a program to its end, at most `seconds`: exit status and output.
struct CliRun {
    int status = -1;
    std::string output;
};
CliRun runClavioCli(const std::vector<std::string>& args, double seconds = 30.0);
CliRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  double seconds = 30.0);

} // namespace clavio::testing
