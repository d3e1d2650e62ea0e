// The real devices a Windows bench's ports reach through the file-handle transport: the boot
// loader's device interfaces and the COM ports the operator names. Arrivals are not reported yet
// (the device notifications are wired here when they exist): the COM ports present at the start
// attach through AnnouncePresent.
#pragma once

#include <string>
#include <vector>

#include "transport/device_source.h"

namespace varnel {

class WindowsDevices final : public DeviceSource {
  public:
    // `fileHandle` false asks for the WinUSB transport, which Prepare refuses until it exists.
    WindowsDevices(bool fileHandle, std::vector<std::string> comPorts);

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

  private:
    const bool m_bFileHandle;
    std::vector<std::string> m_ComPorts;  // "COM5", as ComPortName gives them
    DeviceEventListener* m_pEvents = nullptr;
};

}  // namespace varnel
