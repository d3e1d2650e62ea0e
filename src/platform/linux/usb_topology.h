// Where handsets sit on the USB tree, as sysfs shows it: their link speed and the hub they share.
// Many handsets behind one hub, or one that links below high speed, make every download slow.
#pragma once

#include <string>
#include <vector>

namespace varnel {

inline constexpr char kSysfsUsbDevices[] = "/sys/bus/usb/devices";
inline constexpr double kHighSpeedMbps = 480;
// A high-speed hub's 480 Mbit/s give about 40 MB/s of bulk transfers, and a boot loader takes up
// to about 10 MB/s: more handsets than this behind one hub wait for each other.
inline constexpr int kHandsetsPerHub = 4;

// The hub a device hangs on: "1-2" for "1-2.3", "usb1" (the root hub) for "1-2". Empty when
// `portPath` is no bus-port chain.
std::string HubOfPortPath(const std::string& portPath);

// The link speed in Mbit/s of the device at bus-port chain `portPath`, from
// `sysfsDevices`/PORTPATH/speed; 0 when unknown (no such device, or not a chain).
double UsbSpeedMbps(const std::string& portPath,
                    const std::string& sysfsDevices = kSysfsUsbDevices);

// The warnings for a handset that has just attached at `portPath` with link speed `speedMbps`
// (0 unknown), given the port paths of every attached handset (it included). Each warning
// comes with a key that stays the same while the condition lasts, so it is given once.
struct TopologyWarning {
    std::string strKey;
    std::string strText;
};
std::vector<TopologyWarning> TopologyWarnings(const std::string& portPath, double speedMbps,
                                              const std::vector<std::string>& attachedPortPaths);

}  // namespace varnel
