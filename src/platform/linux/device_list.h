// The matching devices present now, as an operator asks for them: where each is, who it is,
// and whether this program could open it. Listing never writes to a device.
#pragma once

#include <string>
#include <vector>

#include "transport/listed_device.h"
#include "transport/usb_ids.h"

struct libusb_context;

namespace varnel {

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
