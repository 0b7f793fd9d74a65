#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tests/support/fake_device_tree.h"

extern char** environ;

namespace clavio::testing {

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args) {
    std::vector<std::string> strings = {program.string()};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (_dir / "output.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        _pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    signal(SIGKILL);
    wait();
}

void ChildProcess::signal(int signalNumber) {
    if (_pid > 0 && !_status) {
        ::kill(_pid, signalNumber);
    }
}

int ChildProcess::wait(double seconds) {
    waitFor(
        [&] {
            int raw = 0;
            if (_pid > 0 && !_status && ::waitpid(_pid, &raw, WNOHANG) == _pid) {
                _status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            }
            return _status || _pid <= 0;
        },
        seconds);
    return _status.value_or(-1);
}

std::string ChildProcess::output() const {
    return std::filesystem::exists(_dir / "output.txt") ? readFile(_dir / "output.txt") : "";
}

std::filesystem::path clavioCli() {
    return std::filesystem::path(CLAVIO_BUILD_DIR) / "bin" / "clavio-cli";
}

CliRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                  double seconds) {
    ChildProcess child(program, args);
    const int status = child.wait(seconds);
    return {status, child.output()};
}

CliRun runClavioCli(const std::vector<std::string>& args, double seconds) {
    return runProgram(clavioCli(), args, seconds);
}

} // namespace clavio::testing
