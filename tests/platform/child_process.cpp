#include "tests/platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char** environ;

namespace varnel::test {

namespace {

// Reads what is there; false once the pipe is closed.
bool Drain(int fd, std::string& into) {
    std::array<char, 4096> buffer{};
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got > 0) {
        into.append(buffer.data(), static_cast<size_t>(got));
        return true;
    }
    return got < 0 && errno == EINTR;
}

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::function<bool(const std::string&)>& interruptWhen,
                     std::chrono::seconds limit, int interruptSignal) {
    ChildResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool outOpen = true;
    bool errOpen = true;
    bool interrupted = false;
    bool killed = false;
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(child, SIGKILL);
            killed = true;
            break;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            outOpen = Drain(outPipe[0], result.strOut);
            if (!interrupted && interruptWhen && interruptWhen(result.strOut)) {
                kill(child, interruptSignal);
                interrupted = true;
            }
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            errOpen = Drain(errPipe[0], result.strErr);
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status)) {
        result.nExitStatus = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace varnel::test
