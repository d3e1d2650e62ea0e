#include "platform/linux/fd_util.h"

#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace varnel {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

bool WakeSignal::Create() {
    fd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return fd_.Valid();
}

void WakeSignal::Signal() {
    const uint64_t one = 1;
    // A full counter still leaves the fd readable, which is all a waiter needs.
    [[maybe_unused]] const ssize_t written = ::write(fd_.Get(), &one, sizeof one);
}

SteadyTime DeadlineAfter(uint32_t milliseconds) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

int PollUntil(pollfd* fds, nfds_t count, SteadyTime deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
        const int result = ::poll(fds, count, timeout);
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace varnel
