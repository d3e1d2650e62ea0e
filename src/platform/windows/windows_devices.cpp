#include "platform/windows/windows_devices.h"

#include <windows.h>

#include "images/format_entry.h"
#include "platform/windows/file_interface.h"
#include "transport/device_path.h"

namespace varnel {

WindowsDevices::WindowsDevices(bool fileHandle, std::vector<std::string> comPorts)
    : m_bFileHandle(fileHandle), m_ComPorts(std::move(comPorts)) {}

bool WindowsDevices::Prepare(std::string& error) {
    if (!m_bFileHandle) {
        error = "the WinUSB transport is not built yet";
        return false;
    }
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
    return std::make_unique<CWinFileInterface>(m_ComPorts);
}

bool WindowsDevices::Register(DeviceEventListener& events, uint32_t&) {
    m_pEvents = &events;
    return true;
}

void WindowsDevices::AnnouncePresent() {
    if (m_pEvents == nullptr) {
        return;
    }
    for (const std::string& port : m_ComPorts) {
        m_pEvents->OnDeviceArrival(TtyDevicePath(port));
    }
}

void WindowsDevices::Stop() {
    m_pEvents = nullptr;
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
