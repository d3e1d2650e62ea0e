#include "platform/linux/tty_interface.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/udev_tty.h"
#include "transport/device_path.h"

namespace varnel {

struct CTtyInterface::Handle {
    UniqueFd fd;
    WakeSignal closed;
    // Set once this handle put the tty in exclusive mode. A probe that failed (the node held by
    // another port, which root may still open) must not give back a mode it never took.
    bool exclusive = false;

    ~Handle() {
        // The tty's exclusive mode outlives this descriptor when someone else (varnel-sim's own
        // end of a pty) keeps the node open; give it back so the next open succeeds.
        if (exclusive) {
            ::ioctl(fd.Get(), TIOCNXCL);
        }
    }
};

namespace {

void PrintLine(const char* format, const std::string& path) {
    std::printf(format, path.c_str());
    std::fflush(stdout);
}

}  // namespace

std::vector<std::string> ListTtyEntries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

DeviceIdentity FolderEntryIdentity(const std::string& directory, const std::string& name) {
    DeviceIdentity identity = UdevIdentityOfNode(directory + "/" + name);
    if (identity.strPortPath.empty()) {
        identity.strPortPath = name;
    }
    return identity;
}

CTtyInterface::CTtyInterface(std::string directory) : m_strDirectory(std::move(directory)) {}

CTtyInterface::CTtyInterface(std::vector<UsbId> matchList) : m_MatchList(std::move(matchList)) {}

std::vector<CTtyInterface::Candidate> CTtyInterface::Candidates() const {
    std::vector<Candidate> candidates;
    if (m_strDirectory.empty()) {
        for (const UdevTty& tty : MatchingTtys(UdevUsbTtys(), m_MatchList)) {
            candidates.push_back({tty.strName, tty.strNode, IdentityOfProperties(tty.properties)});
        }
        return candidates;
    }
    for (const std::string& name : ListTtyEntries(m_strDirectory)) {
        candidates.push_back({name, m_strDirectory + "/" + name, {}});
    }
    return candidates;
}

CTtyInterface::~CTtyInterface() {
    Close();
}

int CTtyInterface::Open(const Guid& interfaceClass, const char* devicePath) {
    Close();
    RecordOpenDenied(false);
    if (interfaceClass != GUID_BOOTLOADER_INTERFACE) {
        return 0;
    }
    for (const Candidate& candidate : Candidates()) {
        const std::string path = TtyDevicePath(candidate.strName);
        if (devicePath != nullptr) {
            if (path != devicePath) {
                continue;
            }
        } else {
            RecordDevicePath(path);
            PrintLine("Attempting to open %s\n", path);
        }
        std::shared_ptr<Handle> handle = OpenNode(candidate.strNode, path);
        if (!handle) {
            continue;
        }
        RecordDevicePath(path);
        // A folder's node may still be a USB tty that udev knows (a link in /dev/serial/by-id).
        RecordIdentity(m_strDirectory.empty()
                           ? candidate.identity
                           : FolderEntryIdentity(m_strDirectory, candidate.strName));
        std::lock_guard lock(m_HandleMutex);
        m_pHandle = std::move(handle);
        m_bOpened = 1;
        return 1;
    }
    return 0;
}

std::shared_ptr<CTtyInterface::Handle> CTtyInterface::OpenNode(const std::string& node,
                                                               const std::string& devicePath) {
    auto handle = std::make_shared<Handle>();
    const char* reason = nullptr;
    handle->fd.Reset(::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!handle->fd.Valid()) {
        // A node that is busy or already gone is the normal case of a scan; other errors say
        // something is wrong with the node.
        if (errno != EBUSY && errno != ENOENT) {
            reason = std::strerror(errno);
        }
        if (errno == EACCES || errno == EPERM) {
            RecordOpenDenied(true);
        }
    } else if (!::isatty(handle->fd.Get())) {
        reason = "not a tty";
    } else if (::flock(handle->fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        // Held by another port's transport.
    } else {
        termios mode{};
        if (::tcgetattr(handle->fd.Get(), &mode) != 0) {
            reason = std::strerror(errno);
        } else {
            ::cfmakeraw(&mode);
            mode.c_cflag |= CLOCAL | CREAD;
            mode.c_cc[VMIN] = 0;
            mode.c_cc[VTIME] = 0;
            if (::tcsetattr(handle->fd.Get(), TCSANOW, &mode) != 0) {
                reason = std::strerror(errno);
            } else if (!handle->closed.Create()) {
                reason = std::strerror(errno);
            } else {
                // Other programs (a modem manager probing new serial ports) stay out.
                handle->exclusive = ::ioctl(handle->fd.Get(), TIOCEXCL) == 0;
                // Whatever the device said before this open belongs to an earlier session.
                ::tcflush(handle->fd.Get(), TCIOFLUSH);
                return handle;
            }
        }
    }
    PrintLine("FAILED to open %s\n", devicePath);
    if (reason != nullptr) {
        std::fprintf(stderr, "%s: %s, skipped\n", node.c_str(), reason);
    }
    return nullptr;
}

void CTtyInterface::Close() {
    std::shared_ptr<Handle> handle;
    {
        std::lock_guard lock(m_HandleMutex);
        handle = std::move(m_pHandle);
        m_bOpened = 0;
    }
    if (handle) {
        handle->closed.Signal();
    }
}

std::shared_ptr<CTtyInterface::Handle> CTtyInterface::Current() {
    std::lock_guard lock(m_HandleMutex);
    return m_pHandle;
}

CTtyInterface::WaitResult CTtyInterface::WaitFor(const Handle& handle, short events,
                                                 SteadyTime deadline) {
    pollfd fds[2] = {{handle.fd.Get(), events, 0}, {handle.closed.Fd(), POLLIN, 0}};
    const int result = PollUntil(fds, 2, deadline);
    if (result < 0 || (fds[1].revents & POLLIN) != 0) {
        return result < 0 ? WaitResult::kGone : WaitResult::kClosed;
    }
    if (result == 0) {
        return WaitResult::kTimedOut;
    }
    if ((fds[0].revents & events) != 0) {
        return WaitResult::kReady;
    }
    return WaitResult::kGone;  // POLLHUP, POLLERR or POLLNVAL without data
}

uint32_t CTtyInterface::Write(const void* data, uint32_t size) {
    const std::shared_ptr<Handle> handle = Current();
    if (!handle || data == nullptr || size == 0) {
        return 0;
    }
    const SteadyTime deadline = DeadlineAfter(IoTimeout());
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t written = 0;
    while (written < size) {
        const ssize_t count = ::write(handle->fd.Get(), bytes + written, size - written);
        if (count > 0) {
            written += static_cast<uint32_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && errno == EAGAIN) {
            if (WaitFor(*handle, POLLOUT, deadline) != WaitResult::kReady) {
                break;
            }
        } else {
            break;
        }
    }
    if (written == size) {
        return size;
    }
    // The comm-error clearing of the original: drop what is still unsent, so the next write
    // starts clean.
    ::tcflush(handle->fd.Get(), TCOFLUSH);
    return 0;
}

int CTtyInterface::ReadQueued(const Handle& handle, uint8_t* buffer, uint32_t size) {
    int queued = 0;
    if (::ioctl(handle.fd.Get(), FIONREAD, &queued) != 0 || queued < 0) {
        return -1;
    }
    const size_t wanted = std::min<size_t>(static_cast<size_t>(queued), size);
    if (wanted == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t count = ::read(handle.fd.Get(), buffer, wanted);
        if (count >= 0) {
            return static_cast<int>(count);
        }
        if (errno == EAGAIN) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

uint32_t CTtyInterface::Read(void* buffer, uint32_t size, bool wait) {
    const std::shared_ptr<Handle> handle = Current();
    if (!handle || buffer == nullptr || size == 0) {
        return 0;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    const SteadyTime deadline = DeadlineAfter(IoTimeout());
    int got = 0;
    for (int pass = 0; pass < kReadPasses && got == 0; ++pass) {
        got = ReadQueued(*handle, bytes, size);
        if (got != 0) {
            break;
        }
        const SteadyTime passEnd = wait ? deadline : std::min(deadline, DeadlineAfter(kPollPassMs));
        const WaitResult result = WaitFor(*handle, POLLIN, passEnd);
        if (result == WaitResult::kClosed) {
            return 0;
        }
        if (result == WaitResult::kGone) {
            // Bytes the device sent before it went are still worth having.
            got = ReadQueued(*handle, bytes, size);
            break;
        }
        if (result == WaitResult::kTimedOut && std::chrono::steady_clock::now() >= deadline) {
            return 0;
        }
    }
    if (got <= 0) {
        return 0;
    }
    auto total = static_cast<uint32_t>(got);
    while (total < size) {
        const SteadyTime gapEnd = std::min(deadline, DeadlineAfter(m_dwGatherGapMs.load()));
        if (WaitFor(*handle, POLLIN, gapEnd) != WaitResult::kReady) {
            break;
        }
        const int more = ReadQueued(*handle, bytes + total, size - total);
        if (more <= 0) {
            break;
        }
        total += static_cast<uint32_t>(more);
    }
    return total;
}

}  // namespace varnel
