#include "platform/linux/desktop/xdg_url_opener.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace clavio::platform {

bool XdgUrlOpener::open(const std::string& address) {
    if (!isOpenableAddress(address)) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return false;
    }
    // The handler gets no input from us.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    // "--" is not passed: xdg-open takes exactly one argument, and the
    // address cannot begin with "-" (it starts with a scheme letter).
    std::string program = _program;
    std::string argument = address;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return false;
    }
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: reap without waiting; the child may then linger
        // as a zombie until the process ends, which is harmless.
        int status = 0;
        waitpid(pid, &status, WNOHANG);
    }
    return true;
}

} // namespace clavio::platform
