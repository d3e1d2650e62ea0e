#include "platform/linux/usb_topology.h"

#include <algorithm>
#include <cstdlib>

#include "images/bounded_file.h"
#include "images/format_entry.h"

namespace varnel {

namespace {

constexpr size_t kSpeedFileLimit = 32;

// "B-P" or "B-P.P...": digits, one '-', then digits separated by '.'; nothing else can name a
// sysfs entry from here.
bool IsBusPortChain(const std::string& portPath) {
    const size_t dash = portPath.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == portPath.size() ||
        portPath.size() > 64) {
        return false;
    }
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (size_t index = 0; index < portPath.size(); ++index) {
        const char c = portPath[index];
        const bool separator = index > dash + 1 && c == '.' && isDigit(portPath[index - 1]);
        if (index != dash && !isDigit(c) && !separator) {
            return false;
        }
    }
    return portPath.back() != '.';
}

}  // namespace

std::string HubOfPortPath(const std::string& portPath) {
    if (!IsBusPortChain(portPath)) {
        return "";
    }
    const size_t dot = portPath.rfind('.');
    if (dot != std::string::npos) {
        return portPath.substr(0, dot);
    }
    return "usb" + portPath.substr(0, portPath.find('-'));
}

double UsbSpeedMbps(const std::string& portPath, const std::string& sysfsDevices) {
    if (!IsBusPortChain(portPath)) {
        return 0;
    }
    std::string error;
    const std::optional<std::string> text =
        ReadBoundedFile(sysfsDevices + "/" + portPath + "/speed", kSpeedFileLimit, error);
    if (!text) {
        return 0;
    }
    char* end = nullptr;
    const double speed = std::strtod(text->c_str(), &end);
    return end != text->c_str() && speed > 0 ? speed : 0;
}

std::vector<TopologyWarning> TopologyWarnings(const std::string& portPath, double speedMbps,
                                              const std::vector<std::string>& attachedPortPaths) {
    std::vector<TopologyWarning> warnings;
    if (speedMbps > 0 && speedMbps < kHighSpeedMbps) {
        warnings.push_back({"speed " + portPath,
                            FormatEntry("[Warning] The handset at USB port %s runs at %g Mbit/s, "
                                        "below high speed (480 Mbit/s): its download is slow\r\n",
                                        portPath.c_str(), speedMbps)});
    }
    const std::string hub = HubOfPortPath(portPath);
    if (!hub.empty()) {
        const auto sharing =
            std::count_if(attachedPortPaths.begin(), attachedPortPaths.end(),
                          [&hub](const std::string& other) { return HubOfPortPath(other) == hub; });
        if (sharing > kHandsetsPerHub) {
            warnings.push_back(
                {"hub " + hub,
                 FormatEntry("[Warning] %d handsets share the USB hub %s, more than its bus "
                             "carries at full pace (%d): their downloads are slow\r\n",
                             static_cast<int>(sharing), hub.c_str(), kHandsetsPerHub)});
        }
    }
    return warnings;
}

}  // namespace varnel
