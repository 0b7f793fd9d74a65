#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/test_support.h"

extern char** environ;

namespace clavio::testing {

namespace {
int counter = 0;
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args) {
    _dir = std::filesystem::temp_directory_path() /
           ("clavio-child-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(_dir);
    _outputFile = _dir / "output.txt";

    std::vector<std::string> argv0 = {program.string()};
    argv0.insert(argv0.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv0) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, _outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        _pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (_pid > 0 && !_reaped) {
        ::kill(_pid, SIGKILL);
        ::waitpid(_pid, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(_dir, ec);
}

void ChildProcess::signal(int signalNumber) {
    if (_pid > 0 && !_reaped) {
        ::kill(_pid, signalNumber);
    }
}

int ChildProcess::wait(double seconds) {
    if (_pid <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!_reaped) {
        int raw = 0;
        const pid_t done = ::waitpid(_pid, &raw, WNOHANG);
        if (done == _pid) {
            _reaped = true;
            _status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return _status;
}

std::string ChildProcess::output() const {
    std::error_code ec;
    return std::filesystem::exists(_outputFile, ec) ? readFile(_outputFile) : std::string();
}

std::filesystem::path clavioCli() {
    return std::filesystem::path(CLAVIO_BUILD_DIR) / "bin" / "clavio-cli";
}

CliRun runClavioCli(const std::vector<std::string>& args, double seconds) {
    ChildProcess child(clavioCli(), args);
    CliRun run;
    run.status = child.wait(seconds);
    run.output = child.output();
    return run;
}

} // namespace clavio::testing
