// The one form of device path every transport reports, on every platform:
//   \\?\usb#vid_VVVV&pid_PPPP#INSTANCE#{GUID}   (INSTANCE: serial string or bus-port chain)
//   \\?\tty#NAME#{GUID}                          (NAME: the node's entry in the scanned folder)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varnel {

std::string UsbDevicePath(uint16_t vendorId, uint16_t productId, std::string_view instance);
std::string TtyDevicePath(std::string_view name);

// Device names and paths compare without regard to letter case (ASCII).
bool EqualIgnoringCase(std::string_view a, std::string_view b);

// The device name the attach records: cut the path before its last '#', then keep what follows
// the last '#' of the rest. Empty when the path has no '#'.
std::string DeviceNameFromPath(std::string_view path);

// Where a Linux bench finds its handsets' ttys unless told otherwise: the system's own, through
// udev.
inline constexpr char kDefaultTtyDirectory[] = "/dev/serial/by-id";

}  // namespace varnel
