#include "app/linux_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace varnel {

namespace {

// The exit status of a finished child, or -1 with errno set.
int WaitForChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void CloseQuietly(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, size_t outputLimit) {
    CommandResult result;
    if (argv.empty()) {
        result.spawnError = EINVAL;
        return result;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.spawnError = errno;
        return result;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        result.spawnError = spawned;
        return result;
    }
    // Read to the end, so the child never blocks on a full pipe; keep only what the limit allows.
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const size_t room = outputLimit - std::min(outputLimit, result.output.size());
        result.output.append(buffer, std::min(room, static_cast<size_t>(got)));
    }
    close(pipeFds[0]);
    result.exitStatus = WaitForChild(pid);
    return result;
}

bool StartDetached(const std::string& path, const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    // Built before the fork: the child may only make async-signal-safe calls.
    std::vector<char*> args{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments) {
        args.push_back(const_cast<char*>(argument.c_str()));
    }
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        CloseQuietly(pipeFds[0]);
        CloseQuietly(pipeFds[1]);
        errno = error;
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on. The grandchild reports a failed exec
        // through the pipe; a successful exec closes it.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild != 0) {
            if (grandchild < 0) {
                const int error = errno;
                (void)!write(pipeFds[1], &error, sizeof error);
            }
            _exit(0);
        }
        const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        execv(path.c_str(), args.data());
        const int error = errno;
        (void)!write(pipeFds[1], &error, sizeof error);
        _exit(127);
    }
    close(pipeFds[1]);
    int error = 0;
    ssize_t got;
    do {
        got = read(pipeFds[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(pipeFds[0]);
    WaitForChild(child);
    if (got == static_cast<ssize_t>(sizeof error)) {
        errno = error;
        return false;
    }
    return true;
}

}  // namespace varnel
