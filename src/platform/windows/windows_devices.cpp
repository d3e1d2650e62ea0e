#include "platform/windows/windows_devices.h"

#include <windows.h>

#include <algorithm>

#include "images/format_entry.h"
#include "platform/windows/file_interface.h"
#include "platform/windows/win_util.h"
#include "transport/device_path.h"

namespace varnel {

bool FollowsDevice(const std::string& path, const std::vector<std::string>& comPorts) {
    const std::string port = ComPortName(DeviceNameFromPath(path));
    if (port.empty() || !EqualIgnoringCase(path, TtyDevicePath(port))) {
        return true;  // a boot loader's interface
    }
    return std::find(comPorts.begin(), comPorts.end(), port) != comPorts.end();
}

WindowsDevices::WindowsDevices(bool fileHandle, std::vector<std::string> comPorts,
                               MessageCallback showMessage,
                               CWinUsbInterface::ApiLoader winUsbLoader)
    : m_bFileHandle(fileHandle),
      m_ComPorts(std::move(comPorts)),
      m_ShowMessage(std::move(showMessage)),
      m_WinUsbLoader(std::move(winUsbLoader)) {}

WindowsDevices::~WindowsDevices() {
    Stop();
}

bool WindowsDevices::Prepare(std::string& error) {
    for (std::string& port : m_ComPorts) {
        const std::string name = ComPortName(port);
        if (name.empty()) {
            error = "'" + port + "' is no COM port name (COM1 to COM255)";
            return false;
        }
        port = name;
    }
    return true;
}

std::unique_ptr<CUsbInterface> WindowsDevices::MakeTransport() {
    if (!m_bFileHandle) {
        return std::make_unique<CWinUsbInterface>(m_ShowMessage, m_WinUsbLoader);
    }
    return std::make_unique<CWinFileInterface>(m_ComPorts);
}

bool WindowsDevices::Register(DeviceEventListener& events, uint32_t& errorCode) {
    Stop();
    m_pFollowed = std::make_unique<Followed>(events, m_ComPorts);
    m_pMonitor = std::make_unique<CWinDeviceMonitor>(*m_pFollowed, !m_ComPorts.empty());
    if (!m_pMonitor->Start(errorCode)) {
        m_pMonitor.reset();
        m_pFollowed.reset();
        return false;
    }
    m_pEvents = &events;
    return true;
}

void WindowsDevices::AnnouncePresent() {
    if (m_pEvents == nullptr) {
        return;
    }
    // In the order the transports try them: the boot loader's interfaces, then the COM ports.
    for (const std::string& path : PresentInterfacePaths(GUID_BOOTLOADER_INTERFACE)) {
        m_pEvents->OnDeviceArrival(path);
    }
    for (const std::string& port : m_ComPorts) {
        m_pEvents->OnDeviceArrival(TtyDevicePath(port));
    }
}

void WindowsDevices::Stop() {
    // The monitor's thread ends before the listener it calls goes.
    if (m_pMonitor) {
        m_pMonitor->Stop();
    }
    m_pMonitor.reset();
    m_pFollowed.reset();
    m_pEvents = nullptr;
}

void* WindowsDevices::MonitorWindow() const {
    return m_pMonitor ? m_pMonitor->Window() : nullptr;
}

WindowsDevices::Followed::Followed(DeviceEventListener& events,
                                   const std::vector<std::string>& comPorts)
    : m_events(events), m_comPorts(comPorts) {}

void WindowsDevices::Followed::OnDeviceArrival(const std::string& path) {
    if (FollowsDevice(path, m_comPorts)) {
        m_events.OnDeviceArrival(path);
    }
}

void WindowsDevices::Followed::OnDeviceRemoval(const std::string& path) {
    if (FollowsDevice(path, m_comPorts)) {
        m_events.OnDeviceRemoval(path);
    }
}

std::vector<ListedDevice> WindowsDevices::ListPresent(
    const std::function<int(const std::string&)>& portHolding) {
    std::vector<ListedDevice> devices;
    for (const std::string& port : m_ComPorts) {
        ListedDevice device;
        device.strDevicePath = TtyDevicePath(port);
        device.identity.strPortPath = port;
        device.strTransport = "file";
        // Opened exclusively and closed at once, as the transport opens it; nothing is written.
        const std::string file = "\\\\.\\" + port;
        HANDLE handle = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        device.bOpenable = handle != INVALID_HANDLE_VALUE;
        if (device.bOpenable) {
            CloseHandle(handle);
        } else {
            device.strWhyNot = FormatEntry("error %lu", static_cast<unsigned long>(GetLastError()));
        }
        devices.push_back(std::move(device));
    }
    MarkAttached(devices, portHolding);
    return devices;
}

}  // namespace varnel
