#include "tests/platform/pty_device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "transport/device_path.h"

namespace varnel::test {

PtyDevice::PtyDevice(const std::string& folder, const std::string& name)
    : name_(name), entry_(folder + "/" + name) {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    char slaveName[128] = {};
    EXPECT_TRUE(master_.Valid() && ::grantpt(master_.Get()) == 0 &&
                ::unlockpt(master_.Get()) == 0 &&
                ::ptsname_r(master_.Get(), slaveName, sizeof slaveName) == 0)
        << std::strerror(errno);
    slave_.Reset(::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode{};
    EXPECT_EQ(::tcgetattr(slave_.Get(), &mode), 0);
    ::cfmakeraw(&mode);
    EXPECT_EQ(::tcsetattr(slave_.Get(), TCSANOW, &mode), 0);
    EXPECT_EQ(::symlink(slaveName, entry_.c_str()), 0) << std::strerror(errno);
}

PtyDevice::~PtyDevice() {
    Unplug();
}

std::string PtyDevice::DevicePath() const {
    return TtyDevicePath(name_);
}

void PtyDevice::Send(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t sent = 0;
    while (sent < size) {
        pollfd fd{master_.Get(), POLLOUT, 0};
        ASSERT_GT(PollUntil(&fd, 1, DeadlineAfter(2000)), 0) << "the host does not read";
        const ssize_t count = ::write(master_.Get(), bytes + sent, size - sent);
        ASSERT_TRUE(count > 0 || errno == EAGAIN) << std::strerror(errno);
        sent += static_cast<size_t>(std::max<ssize_t>(count, 0));
    }
}

std::vector<uint8_t> PtyDevice::Receive(size_t size, uint32_t timeoutMs) {
    std::vector<uint8_t> bytes;
    const SteadyTime deadline = DeadlineAfter(timeoutMs);
    while (bytes.size() < size) {
        pollfd fd{master_.Get(), POLLIN, 0};
        if (PollUntil(&fd, 1, deadline) <= 0) {
            break;
        }
        uint8_t buffer[4096];
        const ssize_t count =
            ::read(master_.Get(), buffer, std::min(sizeof buffer, size - bytes.size()));
        if (count <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + count);
    }
    return bytes;
}

void PtyDevice::Unplug() {
    if (master_.Valid()) {
        ::unlink(entry_.c_str());
    }
    master_.Reset();
    slave_.Reset();
}

}  // namespace varnel::test
