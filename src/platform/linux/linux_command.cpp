#include "platform/linux/linux_command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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
