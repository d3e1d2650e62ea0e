// The real devices a bench's ports reach on Linux: the ttys of matching USB devices, found and
// followed through udev; or, with a folder other than the default given, every tty node in it,
// followed with inotify; or boot-loader USB devices through libusb, followed with its hot-plug
// events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/linux_host.h"
#include "platform/linux/tty_interface.h"
#include "platform/linux/tty_monitor.h"
#include "platform/linux/udev_tty.h"
#include "transport/device_source.h"
#include "transport/usb_ids.h"

namespace varnel {

class UsbContext;
class UsbDeviceMonitor;

struct LinuxDeviceOptions {
    LinuxTransport transport = LinuxTransport::kLibusb;
    // kDefaultTtyDirectory stands for the system's real ttys (through udev).
    std::string strTtyDirectory = kDefaultTtyDirectory;
    std::vector<std::string> usbIds;  // "VID:PID", besides the simulator's and VARNEL_USB_IDS
};

class LinuxDevices final : public DeviceSource {
  public:
    LinuxDevices(LinuxDeviceOptions options, MessageCallback showMessage);
    // Stops the device events.
    ~LinuxDevices() override;
    LinuxDevices(const LinuxDevices&) = delete;
    LinuxDevices& operator=(const LinuxDevices&) = delete;

    // The USB match list and libusb.
    bool Prepare(std::string& error) override;
    bool FileHandleTransport() const override {
        return m_options.transport == LinuxTransport::kTty;
    }
    std::unique_ptr<CUsbInterface> MakeTransport() override;
    bool Register(DeviceEventListener& events, uint32_t& errorCode) override;
    void AnnouncePresent() override;
    void Stop() override;
    // Why ModemManager may keep running: udev keeps it off every device of the match list.
    // nullopt with ttys in a folder, which no match list covers.
    std::optional<std::string> SyncSoftwareLeftRunning() const override;
    TopologyWarningList TopologyWarnings(
        const std::string& portPath,
        const std::vector<std::string>& attachedPortPaths) const override;
    std::vector<ListedDevice> ListPresent(
        const std::function<int(const std::string&)>& portHolding) override;

  private:
    bool UdevTtys() const {
        return m_options.transport == LinuxTransport::kTty &&
               m_options.strTtyDirectory == kDefaultTtyDirectory;
    }

    const LinuxDeviceOptions m_options;
    const MessageCallback m_showMessage;
    TtyDeviceMonitor m_ttyMonitor;
    std::unique_ptr<UdevTtyMonitor> m_pUdevMonitor;
    std::vector<UsbId> m_usbIds;
    std::shared_ptr<UsbContext> m_pUsb;
    std::unique_ptr<UsbDeviceMonitor> m_pUsbMonitor;
    DeviceEventListener* m_pEvents = nullptr;
};

}  // namespace varnel
