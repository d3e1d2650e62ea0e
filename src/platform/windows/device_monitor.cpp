#include "platform/windows/device_monitor.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/windows/file_interface.h"
#include "platform/windows/win_util.h"
#include "transport/device_path.h"

namespace varnel {

namespace {

constexpr char kWindowClass[] = "VarnelDeviceMonitor";

Guid FromWindowsGuid(const GUID& guid) {
    Guid result{guid.Data1, guid.Data2, guid.Data3, {}};
    std::copy(std::begin(guid.Data4), std::end(guid.Data4), std::begin(result.data4));
    return result;
}

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The "COM5" a serial port's interface stands for, from its device's "PortName"; empty when the
// device is not there or names no COM port.
std::string ComPortOfInterface(const std::string& name) {
    const HDEVINFO set = ::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string port;
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    SP_DEVINFO_DATA deviceData{};
    deviceData.cbSize = sizeof deviceData;
    if (::SetupDiOpenDeviceInterfaceA(set, name.c_str(), 0, &interfaceData)) {
        ::SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, nullptr, &deviceData);
        const HKEY key =
            ::SetupDiOpenDevRegKey(set, &deviceData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            char value[32] = {};
            DWORD type = 0;
            DWORD size = sizeof value - 1;
            if (::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(value),
                                   &size) == ERROR_SUCCESS &&
                type == REG_SZ) {
                port = ComPortName(std::string(value, strnlen(value, size)));
            }
            ::RegCloseKey(key);
        }
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return port;
}

LRESULT CALLBACK MonitorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        ::SetWindowLongPtrA(window, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* monitor =
        reinterpret_cast<CWinDeviceMonitor*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
        case WM_DEVICECHANGE:
            if (monitor != nullptr) {
                monitor->OnDeviceChange(wParam, reinterpret_cast<const void*>(lParam));
            }
            return TRUE;
        case WM_CLOSE:
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

bool RegisterWindowClass() {
    static const bool registered = [] {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = MonitorWindowProc;
        windowClass.hInstance = ::GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return ::RegisterClassExA(&windowClass) != 0 ||
               ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

HDEVNOTIFY RegisterInterfaceClass(HWND window, const Guid& interfaceClass) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = ToWindowsGuid(interfaceClass);
    return ::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace

CWinDeviceMonitor::CWinDeviceMonitor(DeviceEventListener& listener, bool watchComPorts)
    : m_listener(listener), m_bWatchComPorts(watchComPorts) {}

CWinDeviceMonitor::~CWinDeviceMonitor() {
    Stop();
}

bool CWinDeviceMonitor::Start(uint32_t& errorCode) {
    Stop();
    std::promise<uint32_t> started;
    std::future<uint32_t> result = started.get_future();
    m_thread = std::thread([this, &started] { Run(started); });
    errorCode = result.get();
    if (errorCode != 0) {
        m_thread.join();
        return false;
    }
    return true;
}

void CWinDeviceMonitor::Run(std::promise<uint32_t>& started) {
    if (!RegisterWindowClass()) {
        started.set_value(::GetLastError());
        return;
    }
    const HWND window = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          ::GetModuleHandleA(nullptr), this);
    if (window == nullptr) {
        started.set_value(::GetLastError());
        return;
    }
    std::vector<HDEVNOTIFY> registrations;
    for (const Guid* interfaceClass : {&GUID_BOOTLOADER_INTERFACE, &GUID_COMPORT_INTERFACE}) {
        if (interfaceClass == &GUID_COMPORT_INTERFACE && !m_bWatchComPorts) {
            continue;
        }
        const HDEVNOTIFY registration = RegisterInterfaceClass(window, *interfaceClass);
        if (registration == nullptr) {
            const DWORD error = ::GetLastError();
            for (const HDEVNOTIFY done : registrations) {
                ::UnregisterDeviceNotification(done);
            }
            ::DestroyWindow(window);
            started.set_value(error != 0 ? error : ERROR_GEN_FAILURE);
            return;
        }
        registrations.push_back(registration);
    }
    {
        std::lock_guard lock(m_mutex);
        m_hWindow = window;
    }
    started.set_value(0);
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    for (const HDEVNOTIFY registration : registrations) {
        ::UnregisterDeviceNotification(registration);
    }
}

void CWinDeviceMonitor::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    HWND window = nullptr;
    {
        std::lock_guard lock(m_mutex);
        window = static_cast<HWND>(m_hWindow);
        m_hWindow = nullptr;
    }
    if (window != nullptr) {
        ::PostMessageA(window, WM_CLOSE, 0, 0);
    }
    m_thread.join();
}

void* CWinDeviceMonitor::Window() const {
    std::lock_guard lock(m_mutex);
    return m_hWindow;
}

void CWinDeviceMonitor::OnDeviceChange(uintptr_t event, const void* data) {
    const bool arrival = event == DBT_DEVICEARRIVAL;
    if ((!arrival && event != DBT_DEVICEREMOVECOMPLETE) || data == nullptr) {
        return;
    }
    // The record says how long it is; nothing beyond that is read.
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(data);
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbch_size <= kNameOffset) {
        return;
    }
    const auto* record = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(data);
    const char* name = record->dbcc_name;
    const std::string interfaceName(name, strnlen(name, header->dbch_size - kNameOffset));
    const std::string path =
        ReportedPath(FromWindowsGuid(record->dbcc_classguid), interfaceName, arrival);
    if (path.empty()) {
        return;
    }
    if (arrival) {
        m_listener.OnDeviceArrival(path);
    } else {
        m_listener.OnDeviceRemoval(path);
    }
}

std::string CWinDeviceMonitor::ReportedPath(const Guid& interfaceClass, const std::string& name,
                                            bool arrival) {
    if (name.empty()) {
        return {};
    }
    if (interfaceClass == GUID_BOOTLOADER_INTERFACE) {
        return LowerCase(name);
    }
    if (interfaceClass != GUID_COMPORT_INTERFACE || !m_bWatchComPorts) {
        return {};
    }
    const std::string key = LowerCase(name);
    if (arrival) {
        const std::string port = ComPortOfInterface(name);
        if (port.empty()) {
            return {};
        }
        m_comPorts[key] = port;
        return TtyDevicePath(port);
    }
    const auto known = m_comPorts.find(key);
    if (known == m_comPorts.end()) {
        return {};
    }
    const std::string path = TtyDevicePath(known->second);
    m_comPorts.erase(known);
    return path;
}

}  // namespace varnel
