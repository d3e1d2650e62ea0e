// The matching devices present now, as an operator asks for them: where each is, who it is,
// and whether this program could open it. Listing never writes to a device.
#pragma once

#include <string>
#include <vector>

#include "transport/linux/usb_ids.h"
#include "transport/usb_interface.h"

struct libusb_context;

namespace varnel {

struct ListedDevice {
    std::string strDevicePath;
    DeviceIdentity identity;
    std::string strUsbId;      // "04e8:1234"; empty when the node is no USB device (a pty)
    std::string strTransport;  // "tty" or "libusb"
    std::string strSpeed;      // "low", "full", "high", "super"; empty when unknown
    bool bOpenable = false;
    std::string strWhyNot;   // why it cannot be opened
    int nAttachedPort = -1;  // the port holding it, -1 for none
};

// Matching USB ttys that udev knows.
std::vector<ListedDevice> ListUdevTtys(const std::vector<UsbId>& ids);
// Every tty node in `directory` (hidden entries skipped).
std::vector<ListedDevice> ListTtyFolder(const std::string& directory);
// Matching USB devices on the buses libusb sees.
std::vector<ListedDevice> ListUsbDevices(libusb_context* context, const std::vector<UsbId>& ids);

// Whether a tty node could be taken now: opened read-write and locked exclusively. Empty when it
// can, else why not.
std::string WhyTtyNotOpenable(const std::string& node);

}  // namespace varnel
