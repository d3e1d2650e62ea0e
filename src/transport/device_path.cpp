#include "transport/device_path.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "transport/usb_interface.h"

namespace varnel {

std::string UsbDevicePath(uint16_t vendorId, uint16_t productId, std::string_view instance) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", vendorId, productId);
    return std::string("\\\\?\\usb#") + ids + "#" + std::string(instance) + "#" +
           GuidText(GUID_BOOTLOADER_INTERFACE);
}

std::string TtyDevicePath(std::string_view name) {
    return std::string("\\\\?\\tty#") + std::string(name) + "#" +
           GuidText(GUID_BOOTLOADER_INTERFACE);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string DeviceNameFromPath(std::string_view path) {
    const size_t last = path.rfind('#');
    if (last == std::string_view::npos) {
        return {};
    }
    const std::string_view head = path.substr(0, last);
    const size_t previous = head.rfind('#');
    return std::string(previous == std::string_view::npos ? head : head.substr(previous + 1));
}

}  // namespace varnel
