// The real devices a bench's ports reach on Linux: the ttys of matching USB devices, found and
// followed through udev; or, with a folder other than the default given, every tty node in it,
// followed with inotify; or boot-loader USB devices through libusb, followed with its hot-plug
// events. Every front end with real handsets makes its transports and its device events here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/bench_application.h"
#include "app/linux_host.h"
#include "transport/device_events.h"
#include "transport/linux/device_list.h"
#include "transport/linux/tty_interface.h"
#include "transport/linux/tty_monitor.h"
#include "transport/linux/udev_tty.h"
#include "transport/linux/usb_ids.h"
#include "transport/usb_interface.h"
#include "ui/dialog_view.h"
#include "ui/window_thread.h"

namespace varnel {

class UsbContext;
class UsbDeviceMonitor;

struct LinuxDeviceOptions {
    LinuxTransport transport = LinuxTransport::kLibusb;
    // kDefaultTtyDirectory stands for the system's real ttys (through udev).
    std::string strTtyDirectory = kDefaultTtyDirectory;
    std::vector<std::string> usbIds;  // "VID:PID", besides the simulator's and VARNEL_USB_IDS
};

class LinuxDevices {
  public:
    // A transport's message for the operator; called from whichever thread opened the device.
    using MessageCallback = std::function<void(const std::string& text)>;

    LinuxDevices(LinuxDeviceOptions options, MessageCallback showMessage);
    // Stops the device events.
    ~LinuxDevices();
    LinuxDevices(const LinuxDevices&) = delete;
    LinuxDevices& operator=(const LinuxDevices&) = delete;

    // Before the first transport is made: the USB match list and libusb. False with `error`.
    bool Prepare(std::string& error);
    LinuxTransport Transport() const { return m_options.transport; }
    std::unique_ptr<CUsbInterface> MakeTransport();
    // Starts reporting arrivals and removals to `events`; false with the system's error code.
    bool Register(DeviceEventListener& events, uint32_t& errorCode);
    // Reports every device present now as arriving, in order with the events around it.
    void AnnouncePresent();
    // No event is reported after it returns.
    void Stop();
    // Why ModemManager may keep running: udev keeps it off every device of the match list.
    // nullopt with ttys in a folder, which no match list covers.
    std::optional<std::string> ModemManagerLeftRunning() const;
    // Every matching device present now (after Prepare); `portHolding` names the port that holds
    // a device path, -1 for none.
    std::vector<ListedDevice> ListPresent(
        const std::function<int(const std::string&)>& portHolding);

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

// The listing as an operator reads it (one device a line) and as JSON.
std::string DeviceListText(const std::vector<ListedDevice>& devices);
std::string DeviceListJson(const std::vector<ListedDevice>& devices);

// Ports on these devices; the host's sync software is stopped during a job unless kept.
BenchSetup DeviceBenchSetup(LinuxDevices& devices, bool keepSyncSoftware);

// A message box on the window's thread, shown at once from it and posted from any other.
LinuxDevices::MessageCallback WindowMessageBox(DialogView& view, WindowThread& window,
                                               std::string caption);

}  // namespace varnel
