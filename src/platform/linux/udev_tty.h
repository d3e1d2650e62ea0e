// tty nodes of USB serial functions as udev knows them: which USB device (vendor and product
// id, serial, port path) each belongs to, and their arrivals and removals through a udev
// monitor. Only nodes of a device in the match list are boot-loader candidates; a modem or an
// adapter on the same bus is never opened.
#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/device_listeners.h"
#include "platform/linux/fd_util.h"
#include "transport/device_events.h"
#include "transport/usb_ids.h"
#include "transport/usb_interface.h"

struct udev;
struct udev_monitor;

namespace varnel {

using UdevProperties = std::map<std::string, std::string>;

// ID_VENDOR_ID and ID_MODEL_ID; nullopt when either is missing or malformed.
std::optional<UsbId> UsbIdOfProperties(const UdevProperties& properties);
// The bus-port chain ("1-2.3") of the USB device a sysfs device path lies under; empty when none.
std::string BusPortChainOfDevpath(std::string_view devpath);
// ID_SERIAL_SHORT (sanitised as in a device path) and the bus-port chain from DEVPATH, the same
// port path the libusb transport reports (ID_PATH when DEVPATH names no USB device).
DeviceIdentity IdentityOfProperties(const UdevProperties& properties);

struct UdevTty {
    std::string strName;  // the kernel's name, "ttyACM0": the NAME of its device path
    std::string strNode;  // "/dev/ttyACM0"
    UdevProperties properties;
};

// Every tty of a USB device that udev knows, sorted by name.
std::vector<UdevTty> UdevUsbTtys();
// The ttys among `ttys` whose USB device is in `ids`.
std::vector<UdevTty> MatchingTtys(const std::vector<UdevTty>& ttys, const std::vector<UsbId>& ids);
// Identity of the tty node `node` (links followed); empty when udev does not know it (a pty).
DeviceIdentity UdevIdentityOfNode(const std::string& node);

// A present USB device or tty whose VID:PID is in a match list, and whether udev has told
// ModemManager to leave it alone (ID_MM_DEVICE_IGNORE=1).
struct UdevMatchingDevice {
    std::string strName;  // the kernel's name: "1-2.3", "ttyACM0"
    UsbId id;
    bool bModemManagerIgnores = false;
};
// The USB devices, and the ttys of USB devices, present now whose id is in `ids`.
std::vector<UdevMatchingDevice> UdevMatchingDevices(const std::vector<UsbId>& ids);

// Arrivals and removals of matching USB ttys, reported as TtyDevicePath(name). The arrival of a
// tty of a USB device outside the list is reported as foreign.
class UdevTtyMonitor {
  public:
    explicit UdevTtyMonitor(std::vector<UsbId> matchList);
    ~UdevTtyMonitor();
    UdevTtyMonitor(const UdevTtyMonitor&) = delete;
    UdevTtyMonitor& operator=(const UdevTtyMonitor&) = delete;

    void AddListener(DeviceEventListener* listener) { m_listeners.Add(listener); }
    void RemoveListener(DeviceEventListener* listener) { m_listeners.Remove(listener); }

    // Ttys present now count as present, not as arrivals. False (with a line on standard error)
    // when udev cannot be listened to.
    bool Start();
    // Reports an arrival for every matching tty present now, in order with other events.
    void AnnouncePresent();
    void Stop();

  private:
    void Run();
    void HandleDevice(const std::string& action, const UdevTty& tty);

    const std::vector<UsbId> m_MatchList;
    ::udev* m_udev = nullptr;
    ::udev_monitor* m_monitor = nullptr;
    WakeSignal m_wake;
    std::atomic<bool> m_bStopping{false};
    std::atomic<bool> m_bAnnounce{false};
    std::thread m_thread;
    std::set<std::string> m_known;  // watching thread only, after Start
    DeviceListeners m_listeners;
};

}  // namespace varnel
