// A matching device present now, as an operator asks for it: where it is, who it is, and
// whether this program could open it.
#pragma once

#include <string>

#include "transport/usb_interface.h"

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

}  // namespace varnel
