#include "platform/linux/tty_monitor.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/tty_interface.h"
#include "transport/device_path.h"

namespace varnel {

namespace {

constexpr uint32_t kEntryEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t kDirectoryGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

}  // namespace

TtyDeviceMonitor::TtyDeviceMonitor(std::string directory) : m_strDirectory(std::move(directory)) {}

TtyDeviceMonitor::~TtyDeviceMonitor() {
    Stop();
}

bool TtyDeviceMonitor::Start() {
    if (m_thread.joinable()) {
        return true;
    }
    m_inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_inotify.Valid() || !m_wake.Create()) {
        std::fprintf(stderr, "Cannot watch %s for devices: %s\n", m_strDirectory.c_str(),
                     std::strerror(errno));
        return false;
    }
    if (Watch()) {
        for (const std::string& name : ListTtyEntries(m_strDirectory)) {
            m_known.insert(name);
        }
    }
    m_thread = std::thread([this] { Run(); });
    return true;
}

void TtyDeviceMonitor::AnnouncePresent() {
    m_bAnnounce = true;
    m_wake.Signal();
}

void TtyDeviceMonitor::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_bStopping = true;
    m_wake.Signal();
    m_thread.join();
}

void TtyDeviceMonitor::Run() {
    while (!m_bStopping) {
        if (m_nWatch < 0 && Watch()) {
            Rescan();
        }
        if (m_bAnnounce.exchange(false)) {
            for (const std::string& name : m_known) {
                Report(true, name);
            }
        }
        pollfd fds[2] = {{m_inotify.Get(), POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
        ::poll(fds, 2, m_nWatch < 0 ? static_cast<int>(kRetryMs) : -1);
        if (m_bStopping) {
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            // The wake-up is level-triggered: drain it, or the loop would spin.
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = ::read(m_wake.Fd(), &count, sizeof count);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            HandleEvents();
        }
    }
}

bool TtyDeviceMonitor::Watch() {
    m_nWatch = ::inotify_add_watch(m_inotify.Get(), m_strDirectory.c_str(),
                                   kEntryEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    return m_nWatch >= 0;
}

void TtyDeviceMonitor::Unwatch() {
    if (m_nWatch >= 0) {
        ::inotify_rm_watch(m_inotify.Get(), m_nWatch);
        m_nWatch = -1;
    }
    const std::set<std::string> gone = std::move(m_known);
    m_known.clear();
    for (const std::string& name : gone) {
        Report(false, name);
    }
}

void TtyDeviceMonitor::Rescan() {
    const std::vector<std::string> present = ListTtyEntries(m_strDirectory);
    const std::set<std::string> now(present.begin(), present.end());
    std::vector<std::string> gone;
    std::set_difference(m_known.begin(), m_known.end(), now.begin(), now.end(),
                        std::back_inserter(gone));
    for (const std::string& name : gone) {
        Departed(name);
    }
    for (const std::string& name : present) {
        Arrived(name);
    }
}

void TtyDeviceMonitor::HandleEvents() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = ::read(m_inotify.Get(), buffer, sizeof buffer);
        if (length <= 0) {
            return;
        }
        bool rescan = false;
        bool directoryGone = false;
        for (size_t offset = 0; offset + sizeof(inotify_event) <= static_cast<size_t>(length);) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const size_t next = offset + sizeof(inotify_event) + event.len;
            if (next > static_cast<size_t>(length)) {
                break;
            }
            const char* name = buffer + offset + sizeof(inotify_event);
            const size_t nameLength = event.len == 0 ? 0 : ::strnlen(name, event.len);
            offset = next;
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                rescan = true;
            } else if (event.wd != m_nWatch) {
                continue;  // left over from an earlier watch of the directory
            } else if ((event.mask & kDirectoryGone) != 0) {
                directoryGone = true;
            } else if (nameLength == 0 || name[0] == '.') {
                continue;
            } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                Arrived(std::string(name, nameLength));
            } else if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                Departed(std::string(name, nameLength));
            }
        }
        if (directoryGone) {
            Unwatch();
        } else if (rescan && m_nWatch >= 0) {
            Rescan();
        }
    }
}

void TtyDeviceMonitor::Arrived(const std::string& name) {
    if (m_known.insert(name).second) {
        Report(true, name);
    }
}

void TtyDeviceMonitor::Departed(const std::string& name) {
    if (m_known.erase(name) != 0) {
        Report(false, name);
    }
}

void TtyDeviceMonitor::Report(bool arrival, const std::string& name) {
    m_listeners.Report(arrival, TtyDevicePath(name));
}

}  // namespace varnel
