// Arrivals and removals of tty nodes: entries created in and deleted from the scanned directory,
// watched with inotify and reported as device paths (TtyDevicePath of the entry name).
//
// The directory may come and go (udev removes /dev/serial/by-id with the last serial device):
// while it is missing the monitor looks for it again every kRetryMs, and its deletion reports the
// removal of every entry it held.
#pragma once

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/device_listeners.h"
#include "platform/linux/fd_util.h"
#include "transport/device_events.h"

namespace varnel {

class TtyDeviceMonitor {
  public:
    static constexpr uint32_t kRetryMs = 500;

    explicit TtyDeviceMonitor(std::string directory);
    ~TtyDeviceMonitor();
    TtyDeviceMonitor(const TtyDeviceMonitor&) = delete;
    TtyDeviceMonitor& operator=(const TtyDeviceMonitor&) = delete;

    void AddListener(DeviceEventListener* listener) { m_listeners.Add(listener); }
    void RemoveListener(DeviceEventListener* listener) { m_listeners.Remove(listener); }

    // Starts watching; entries present now count as present, not as arrivals. False (with a
    // line on standard error) when inotify cannot be used.
    bool Start();
    // Reports an arrival for every entry present now, in order with the events around it: for a
    // caller that wants devices plugged in before it started treated as arriving.
    void AnnouncePresent();
    // Joins the watching thread; no listener is called after it returns.
    void Stop();

  private:
    void Run();
    // Adds the watch and reconciles the known entries with the directory; false while missing.
    bool Watch();
    void Unwatch();
    void Rescan();
    void HandleEvents();
    void Arrived(const std::string& name);
    void Departed(const std::string& name);
    void Report(bool arrival, const std::string& name);

    const std::string m_strDirectory;
    UniqueFd m_inotify;
    int m_nWatch = -1;
    WakeSignal m_wake;
    std::atomic<bool> m_bStopping{false};
    std::atomic<bool> m_bAnnounce{false};
    std::thread m_thread;
    std::set<std::string> m_known;  // watching thread only
    DeviceListeners m_listeners;
};

}  // namespace varnel
