// Small pieces shared by the Linux transports and monitors: an owned file descriptor, a signal
// that wakes a thread blocked in poll(), and poll() against a deadline.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace varnel {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// An eventfd that stays readable once signalled: every later poll() on it returns at once.
class WakeSignal {
  public:
    // False (errno set) when no eventfd could be made.
    bool Create();
    void Signal();
    int Fd() const { return fd_.Get(); }

  private:
    UniqueFd fd_;
};

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime DeadlineAfter(uint32_t milliseconds);

// poll() until something is ready or `deadline` passes, restarting after signals; the result of
// the last poll() (0 on time-out, -1 on an error other than EINTR).
int PollUntil(pollfd* fds, nfds_t count, SteadyTime deadline);

}  // namespace varnel
