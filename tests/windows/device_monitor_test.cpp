#include "platform/windows/device_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "device_broadcast.h"
#include "transport/device_path.h"

namespace varnel {
namespace {

void Send(CWinDeviceMonitor& monitor, WPARAM event, std::vector<unsigned char> record) {
    SendDeviceChange(monitor.Window(), event, std::move(record));
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
