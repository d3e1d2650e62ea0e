// The real devices a Windows bench's ports reach: the boot loader's device interfaces, through
// the file-handle transport or WinUSB, and the COM ports the operator names (file-handle only).
// Arrivals and removals come from the device notifications of a message-only window; a COM port
// the operator did not name is not followed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/windows/device_monitor.h"
#include "platform/windows/winusb_interface.h"
#include "transport/device_source.h"

namespace varnel {

// Whether the ports follow the device at `path`: every boot-loader interface, and of the COM
// ports only those in `comPorts`.
bool FollowsDevice(const std::string& path, const std::vector<std::string>& comPorts);

class WindowsDevices final : public DeviceSource {
  public:
    // `fileHandle` false asks for the WinUSB transport; its messages go to `showMessage`
    // (standard error when null), its calls to the table `winUsbLoader` gives (winusb.dll when
    // null).
    WindowsDevices(bool fileHandle, std::vector<std::string> comPorts,
                   MessageCallback showMessage = nullptr,
                   CWinUsbInterface::ApiLoader winUsbLoader = nullptr);
    ~WindowsDevices() override;

    bool Prepare(std::string& error) override;
    bool FileHandleTransport() const override { return m_bFileHandle; }
    std::unique_ptr<CUsbInterface> MakeTransport() override;
    bool Register(DeviceEventListener& events, uint32_t& errorCode) override;
    void AnnouncePresent() override;
    void Stop() override;
    std::optional<std::string> SyncSoftwareLeftRunning() const override { return std::nullopt; }
    TopologyWarningList TopologyWarnings(const std::string&,
                                         const std::vector<std::string>&) const override {
        return {};
    }
    std::vector<ListedDevice> ListPresent(
        const std::function<int(const std::string&)>& portHolding) override;

    // The notifications' window (an HWND) while registered, for tests that feed it.
    void* MonitorWindow() const;

  private:
    // Passes on the events of the devices the ports can open.
    class Followed final : public DeviceEventListener {
      public:
        Followed(DeviceEventListener& events, const std::vector<std::string>& comPorts);
        void OnDeviceArrival(const std::string& path) override;
        void OnDeviceRemoval(const std::string& path) override;

      private:
        DeviceEventListener& m_events;
        const std::vector<std::string>& m_comPorts;
    };

    const bool m_bFileHandle;
    std::vector<std::string> m_ComPorts;  // "COM5", as ComPortName gives them
    const MessageCallback m_ShowMessage;
    const CWinUsbInterface::ApiLoader m_WinUsbLoader;
    DeviceEventListener* m_pEvents = nullptr;
    std::unique_ptr<Followed> m_pFollowed;
    std::unique_ptr<CWinDeviceMonitor> m_pMonitor;
};

}  // namespace varnel
