#include "platform/windows/device_monitor.h"

#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/windows/win_util.h"
#include "transport/device_path.h"

namespace varnel {
namespace {

class RecordingListener final : public DeviceEventListener {
  public:
    void OnDeviceArrival(const std::string& path) override { Record("+" + path); }
    void OnDeviceRemoval(const std::string& path) override { Record("-" + path); }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

  private:
    void Record(std::string event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

// The broadcast record the system hands WM_DEVICECHANGE, sized as it says unless `size` is given.
std::vector<unsigned char> Broadcast(const Guid& interfaceClass, const std::string& name,
                                     DWORD size = 0) {
    constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<unsigned char> bytes(kNameOffset + name.size() + 1, 0);
    DEV_BROADCAST_DEVICEINTERFACE_A header{};
    header.dbcc_size = size != 0 ? size : static_cast<DWORD>(bytes.size());
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = ToWindowsGuid(interfaceClass);
    std::memcpy(bytes.data(), &header, kNameOffset);
    std::memcpy(bytes.data() + kNameOffset, name.data(), name.size());
    return bytes;
}

void Send(CWinDeviceMonitor& monitor, WPARAM event, std::vector<unsigned char> record) {
    ::SendMessageA(static_cast<HWND>(monitor.Window()), WM_DEVICECHANGE, event,
                   reinterpret_cast<LPARAM>(record.data()));
}

TEST(WinDeviceMonitorTest, ReportsBootLoaderArrivalsAndRemovalsInTheTransportsSpelling) {
    RecordingListener listener;
    CWinDeviceMonitor monitor(listener, false);
    uint32_t error = 0;
    ASSERT_TRUE(monitor.Start(error)) << error;
    ASSERT_NE(monitor.Window(), nullptr);

    const std::string name =
        "\\\\?\\USB#VID_04E8&PID_1234#SER1#" + GuidText(GUID_BOOTLOADER_INTERFACE);
    std::string path = name;
    std::transform(path.begin(), path.end(), path.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    Send(monitor, DBT_DEVICEARRIVAL, Broadcast(GUID_BOOTLOADER_INTERFACE, name));
    // Ignored: another class, a record shorter than its header, another event, a COM port
    // while ports are not watched.
    Send(monitor, DBT_DEVICEARRIVAL, Broadcast(Guid{1, 2, 3, {4}}, name));
    Send(monitor, DBT_DEVICEARRIVAL, Broadcast(GUID_BOOTLOADER_INTERFACE, name, sizeof(DWORD) * 3));
    Send(monitor, DBT_DEVNODES_CHANGED, Broadcast(GUID_BOOTLOADER_INTERFACE, name));
    Send(monitor, DBT_DEVICEARRIVAL, Broadcast(GUID_COMPORT_INTERFACE, "\\\\?\\ACPI#PNP0501#1"));
    Send(monitor, DBT_DEVICEREMOVECOMPLETE, Broadcast(GUID_BOOTLOADER_INTERFACE, name));
    EXPECT_EQ(listener.Events(), (std::vector<std::string>{"+" + path, "-" + path}));

    monitor.Stop();
    EXPECT_EQ(monitor.Window(), nullptr);
    monitor.Stop();
}

TEST(WinDeviceMonitorTest, ComPortNobodyCanNameIsIgnored) {
    RecordingListener listener;
    CWinDeviceMonitor monitor(listener, true);
    uint32_t error = 0;
    ASSERT_TRUE(monitor.Start(error)) << error;
    // No such device: its port name cannot be looked up, so there is no path to report.
    const std::string name = "\\\\?\\ACPI#PNP0501#7#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    Send(monitor, DBT_DEVICEARRIVAL, Broadcast(GUID_COMPORT_INTERFACE, name));
    Send(monitor, DBT_DEVICEREMOVECOMPLETE, Broadcast(GUID_COMPORT_INTERFACE, name));
    EXPECT_TRUE(listener.Events().empty());
}

}  // namespace
}  // namespace varnel
