// Arrival and removal of boot-loader devices on Windows: a message-only window on a thread of
// its own registers for device-interface notifications of the boot-loader class (and, when
// asked, of COM ports) and turns WM_DEVICECHANGE arrivals and removals into calls of the
// device-event listener, from that thread and under no lock of the monitor's.
//
// Paths are reported as the transports record them: a boot-loader interface by its device path
// in lower case (SetupAPI's spelling; a notification carries the case the driver registered),
// a COM port as TtyDevicePath("COM5").
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "transport/device_events.h"
#include "transport/usb_interface.h"

namespace varnel {

// The device-interface class of serial ports.
inline constexpr Guid GUID_COMPORT_INTERFACE{
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class CWinDeviceMonitor {
  public:
    CWinDeviceMonitor(DeviceEventListener& listener, bool watchComPorts);
    ~CWinDeviceMonitor();
    CWinDeviceMonitor(const CWinDeviceMonitor&) = delete;
    CWinDeviceMonitor& operator=(const CWinDeviceMonitor&) = delete;

    // Creates the window and registers; false with the system's error code when it could not.
    bool Start(uint32_t& errorCode);
    // Unregisters, destroys the window and ends its thread. Safe more than once; not from the
    // listener's calls, which run on that thread.
    void Stop();

    // The window notifications arrive at (an HWND); null while stopped.
    void* Window() const;

    // The window procedure's share: one WM_DEVICECHANGE (public for the procedure only).
    void OnDeviceChange(uintptr_t event, const void* data);

  private:
    void Run(std::promise<uint32_t>& started);
    // The path to report for a notification's interface name; empty to ignore it.
    std::string ReportedPath(const Guid& interfaceClass, const std::string& name, bool arrival);

    DeviceEventListener& m_listener;
    const bool m_bWatchComPorts;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    void* m_hWindow = nullptr;  // under m_mutex
    // COM ports seen arriving, by interface name: a removed port can no longer be looked up.
    std::map<std::string, std::string> m_comPorts;  // monitor thread only
};

}  // namespace varnel
