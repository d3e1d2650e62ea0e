#include "platform/windows/windows_devices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "device_broadcast.h"
#include "transport/device_path.h"

namespace varnel {
namespace {

// In the spelling the monitor reports: lower case.
const std::string kBootLoader = [] {
    std::string path = "\\\\?\\usb#vid_04e8&pid_1234#ser1#" + GuidText(GUID_BOOTLOADER_INTERFACE);
    std::transform(path.begin(), path.end(), path.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return path;
}();

TEST(WindowsDevicesTest, NotificationsReachTheListenerWhileRegistered) {
    WindowsDevices devices(true, {"COM5"});
    std::string error;
    ASSERT_TRUE(devices.Prepare(error)) << error;
    RecordingListener listener;
    uint32_t code = 0;
    ASSERT_TRUE(devices.Register(listener, code)) << code;
    void* window = devices.MonitorWindow();
    ASSERT_NE(window, nullptr);
    SendDeviceChange(window, DBT_DEVICEARRIVAL, Broadcast(GUID_BOOTLOADER_INTERFACE, kBootLoader));
    SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE,
                     Broadcast(GUID_BOOTLOADER_INTERFACE, kBootLoader));
    EXPECT_EQ(listener.Events(), (std::vector<std::string>{"+" + kBootLoader, "-" + kBootLoader}));
    devices.Stop();
    EXPECT_EQ(devices.MonitorWindow(), nullptr);
}

TEST(WindowsDevicesTest, FollowsBootLoadersAndOnlyTheNamedComPorts) {
    const std::vector<std::string> named{"COM5"};
    EXPECT_TRUE(FollowsDevice(kBootLoader, named));
    EXPECT_TRUE(FollowsDevice(kBootLoader, {}));
    EXPECT_TRUE(FollowsDevice(TtyDevicePath("COM5"), named));
    EXPECT_FALSE(FollowsDevice(TtyDevicePath("COM6"), named));
    EXPECT_FALSE(FollowsDevice(TtyDevicePath("COM5"), {}));
}

// The WinUSB ports run on the table they are given, and their messages reach the caller's
// callback rather than a window.
TEST(WindowsDevicesTest, WinUsbPortsUseTheGivenTableAndMessageCallback) {
    std::vector<std::string> messages;
    int loads = 0;
    WindowsDevices devices(
        false, {}, [&messages](const std::string& text) { messages.push_back(text); },
        [&loads](std::string& error) -> std::shared_ptr<const WinUsbApi> {
            ++loads;
            error = "winusb.dll: no WinUsb_Initialize";
            return nullptr;
        });
    std::string error;
    ASSERT_TRUE(devices.Prepare(error)) << error;
    EXPECT_FALSE(devices.FileHandleTransport());
    const std::unique_ptr<CUsbInterface> transport = devices.MakeTransport();
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(transport->Open(GUID_BOOTLOADER_INTERFACE), 0);
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(messages, (std::vector<std::string>{"winusb.dll: no WinUsb_Initialize"}));
}

}  // namespace
}  // namespace varnel
